# Cross-building for 64-bit ARM on a Debian machine with the arm64 architecture added
# (dpkg --add-architecture arm64): the cross compiler from crossbuild-essential-arm64, the
# libraries from their :arm64 packages, Qt's code generators (moc, rcc) from the build machine.
# The programs and suites it builds run under qemu-user: through binfmt_misc, and for CTest
# through the emulator named here.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(PKG_CONFIG_EXECUTABLE /usr/bin/aarch64-linux-gnu-pkg-config)
set(QMAKE_EXECUTABLE /usr/bin/aarch64-linux-gnu-qmake)
find_program(RELAY_QEMU_AARCH64 qemu-aarch64-static)
if(RELAY_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${RELAY_QEMU_AARCH64})
endif()
