#pragma once

// Result of opening a port. The numbers are what the operator sees and what the README lists.
enum class OpenResult {
    Ok = 0,
    InvalidPort = 8002, // not one of the Com ports, or no device mapped to it
    PortInUse = 8005, // another program (or another name of the device) holds it
    DeviceMissing = 8012, // nothing at the device path
    PermissionDenied = 8015, // no read/write access for this user
    StaleLockFile = 8016, // a lock file of an ended program that this user may not remove
    SettingsRejected = 8020, // not a serial line, or it refused 9600 8N1
    OpenFailed = 8099, // any other failure of the operating system
};
