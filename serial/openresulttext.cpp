#include "openresulttext.h"

QString openFailureRemedy(OpenResult code, const PortCheck &check)
{
    switch (code) {
    case OpenResult::PortInUse:
        if (check.lockPathBlocked)
            return QStringLiteral("%1 is no lock file but blocks the port; check it and remove "
                                  "it (sudo rm -r %1)")
                .arg(PortGuard::displayText(check.lockFile));
        if (!check.holder.isEmpty())
            return QStringLiteral("%1; close it first").arg(check.holder);
        if (!check.lockFile.isEmpty())
            return QStringLiteral("lock file %1; close the program that holds it")
                .arg(PortGuard::displayText(check.lockFile));
        return QStringLiteral("close the program that holds it");
    case OpenResult::InvalidPort:
        return QStringLiteral("use Com1..Com16");
    case OpenResult::DeviceMissing:
        return QStringLiteral("plug the adapter in, or check the path");
    case OpenResult::PermissionDenied:
        return QStringLiteral("join group dialout (sudo usermod -aG dialout $USER) and log in "
                              "again");
    case OpenResult::StaleLockFile:
        return QStringLiteral("remove the stale lock file: sudo rm %1")
            .arg(PortGuard::displayText(check.lockFile));
    case OpenResult::SettingsRejected:
        return QStringLiteral("not a serial line, or it refused 9600 8N1; check the path");
    case OpenResult::Ok:
    case OpenResult::OpenFailed:
        break;
    }
    return QStringLiteral("try again; see dmesg");
}

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

QString openFailureLine(const QString &port, const PortCheck &check)
{
    return QStringLiteral("%1: %2 (%3): %4")
        .arg(port, openFailureWords(check.result))
        .arg(int(check.result))
        .arg(openFailureRemedy(check.result, check));
}
