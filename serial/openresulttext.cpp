#include "openresulttext.h"
#include "outsidetext.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>

namespace {

// What the check found beyond the code; a row applies to the first case it matches.
// Bridge: the holder is relay-mqtt and the program can reach boards through a broker.
enum class Found { Anything, BlockedLockPath, Bridge, Holder, LockFile };

// What %1 stands for in a row's texts (a text without %1 does not name it).
enum class Names { Nothing, Holder, LockFile, Device };

struct Row
{
    OpenResult code;
    Found found;
    Names names;
    const char *remedy; // English, after the few words
    const char *message; // Chinese, below the message's first line
};

// clang-format off
constexpr Row rows[] = {
    {OpenResult::PortInUse, Found::BlockedLockPath, Names::LockFile,
     "%1 is no lock file but blocks the port; check it and remove it (sudo rm -r %1)",
     QT_TRANSLATE_NOOP("OpenResult", "%1 不是锁文件，却挡住了该串口：请检查后删除它（sudo rm -r %1），再打开。")},
    {OpenResult::PortInUse, Found::Bridge, Names::Holder,
     "%1 bridges it to a broker; reach the board there: relayctl --broker ADDRESS --board ID",
     QT_TRANSLATE_NOOP("OpenResult", "占用者：%1\n该串口上的开发板已由 relay-mqtt 接到代理服务器：请在端口列表中选择该开发板的名称，经代理服务器操作它。")},
    {OpenResult::PortInUse, Found::Holder, Names::Holder,
     "%1; close it first",
     QT_TRANSLATE_NOOP("OpenResult", "占用者：%1\n请先关闭占用该串口的程序，再打开。")},
    {OpenResult::PortInUse, Found::LockFile, Names::LockFile,
     "lock file %1; close the program that holds it",
     QT_TRANSLATE_NOOP("OpenResult", "锁文件：%1\n请先关闭占用该串口的程序，再打开。")},
    {OpenResult::PortInUse, Found::Anything, Names::Nothing,
     "close the program that holds it",
     QT_TRANSLATE_NOOP("OpenResult", "请先关闭占用该串口的程序，再打开。")},
    {OpenResult::InvalidPort, Found::Anything, Names::Nothing,
     "use Com1..Com16",
     QT_TRANSLATE_NOOP("OpenResult", "请从列表中选择 Com1 到 Com16 之一。")},
    {OpenResult::DeviceMissing, Found::Anything, Names::Device,
     "plug the adapter in, or check the path",
     QT_TRANSLATE_NOOP("OpenResult", "设备 %1 不存在：请重新插好串口适配器，再打开。")},
    {OpenResult::PermissionDenied, Found::Anything, Names::Device,
     "join group dialout (sudo usermod -aG dialout $USER) and log in again",
     QT_TRANSLATE_NOOP("OpenResult", "当前用户无权读写 %1：请执行 sudo usermod -aG dialout $USER 加入 dialout 组，然后重新登录。")},
    {OpenResult::StaleLockFile, Found::Anything, Names::LockFile,
     "remove the stale lock file: sudo rm %1",
     QT_TRANSLATE_NOOP("OpenResult", "锁文件 %1 属于已经结束的程序，当前用户无权删除：请执行 sudo rm %1，再打开。")},
    {OpenResult::SettingsRejected, Found::Anything, Names::Device,
     "not a serial line, or it refused 9600 8N1; check the path",
     QT_TRANSLATE_NOOP("OpenResult", "%1 不是串口，或不接受 9600 8N1 设置：请检查所选的端口。")},
    // Any other failure, and the last row for a code the table does not know.
    {OpenResult::OpenFailed, Found::Anything, Names::Device,
     "try again; see dmesg",
     QT_TRANSLATE_NOOP("OpenResult", "操作系统未能打开 %1：请重试；仍不行时用 dmesg 查看原因。")},
};
// clang-format on

bool matches(Found found, const PortCheck &check, bool broker)
{
    switch (found) {
    case Found::Bridge:
        return broker && check.holder.startsWith(QLatin1String("relay-mqtt"));
    case Found::Anything:
        return true;
    case Found::BlockedLockPath:
        return check.lockPathBlocked;
    case Found::Holder:
        return !check.holder.isEmpty();
    case Found::LockFile:
        return !check.lockFile.isEmpty();
    }
    return false;
}

const Row &rowFor(OpenResult code, const PortCheck &check, bool broker)
{
    for (const Row &row : rows) {
        if (row.code == code && matches(row.found, check, broker))
            return row;
    }
    return std::end(rows)[-1];
}

QString filled(const QString &text, const Row &row, const PortCheck &check, const QString &device)
{
    if (!text.contains(QLatin1String("%1")))
        return text;
    switch (row.names) {
    case Names::Nothing:
        break;
    case Names::Holder:
        return text.arg(check.holder); // escaped where it was read
    case Names::LockFile:
        return text.arg(escapeOutsideText(check.lockFile));
    case Names::Device:
        return text.arg(escapeOutsideText(device));
    }
    return text;
}

} // namespace

QString openFailureWords(OpenResult code)
{
    switch (code) {
    case OpenResult::PortInUse:
        return QStringLiteral("held by another program");
    case OpenResult::InvalidPort:
        return QStringLiteral("not a Com port of the table");
    case OpenResult::DeviceMissing:
        return QStringLiteral("no such device");
    case OpenResult::PermissionDenied:
        return QStringLiteral("no permission to read and write it");
    case OpenResult::StaleLockFile:
        return QStringLiteral("a lock file of an ended program is in the way");
    case OpenResult::SettingsRejected:
        return QStringLiteral("cannot be set to 9600 8N1");
    case OpenResult::Ok:
    case OpenResult::OpenFailed:
        break;
    }
    return QStringLiteral("cannot be opened");
}

QString openFailureRemedy(OpenResult code, const PortCheck &check)
{
    const Row &row = rowFor(code, check, true);
    return filled(QString::fromUtf8(row.remedy), row, check, {});
}

QString openFailureLine(const QString &port, const PortCheck &check)
{
    return QStringLiteral("%1: %2 (%3): %4")
        .arg(port, openFailureWords(check.result))
        .arg(int(check.result))
        .arg(openFailureRemedy(check.result, check));
}

QString openFailureMessage(OpenResult code, const PortCheck &check, const QString &device,
                           bool broker)
{
    const QString first = code == OpenResult::PortInUse
        ? QCoreApplication::translate("OpenResult", "指定的串口已被占用。")
        : QCoreApplication::translate("OpenResult", "打开串口时遇到错误（CODE=%1）。")
              .arg(int(code));
    const Row &row = rowFor(code, check, broker);
    return first + QLatin1Char('\n')
        + filled(QCoreApplication::translate("OpenResult", row.message), row, check, device);
}

QString writeFailureWords(int systemError)
{
    const auto tr
        = [](const char *text) { return QCoreApplication::translate("OpenResult", text); };
    switch (systemError) {
    case 0:
        return tr("串口在 1 秒内没有接收任何字节");
    case EIO:
        return tr("输入输出错误");
    case EPROTO:
        return tr("适配器的驱动报告协议错误");
    case ENOSPC:
        return tr("适配器的驱动缓冲区已满");
    case ENODEV:
    case ENXIO:
        return tr("适配器暂时不可用");
    case EBADF:
        return tr("串口已被关闭");
    default:
        // The system's own words, with its number, for a rare case.
        return tr("系统错误 %1：%2")
            .arg(systemError)
            .arg(QString::fromLocal8Bit(std::strerror(systemError)));
    }
}
