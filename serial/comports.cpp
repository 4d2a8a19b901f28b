#include "comports.h"

#include <QStringList>

QString ComPorts::device(int n)
{
    if (n >= 1 && n <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    if (n >= 5 && n <= 12)
        return QStringLiteral("/dev/ttyUSB%1").arg(n - 5);
    if (n >= 13 && n <= 16)
        return QStringLiteral("/dev/ttyACM%1").arg(n - 13);
    return {};
}

QString ComPorts::tableText()
{
    // Runs of Com numbers whose devices differ only in their number.
    const auto family = [](int n) {
        QString name = device(n);
        while (!name.isEmpty() && name.back().isDigit())
            name.chop(1);
        return name;
    };
    const auto number = [&family](int n) { return device(n).mid(family(n).size()); };
    QStringList runs;
    for (int start = first; start <= last;) {
        int end = start;
        while (end < last && family(end + 1) == family(start))
            ++end;
        runs << QStringLiteral("Com%1-%2 %3%4-%5")
                    .arg(start)
                    .arg(end)
                    .arg(family(start), number(start), number(end));
        start = end + 1;
    }
    return runs.join(QStringLiteral(", "));
}

QString ComPorts::entryText(int n)
{
    return QStringLiteral("Com%1").arg(n);
}

int ComPorts::numberFromEntry(const QString &text)
{
    if (!text.startsWith(QLatin1String("Com")))
        return 0;
    bool ok = false;
    const int n = text.mid(3).toInt(&ok);
    return ok ? n : 0;
}

int ComPorts::numberFromName(const QString &name)
{
    if (!name.startsWith(QLatin1String("com"), Qt::CaseInsensitive))
        return 0;
    const int n = numberFromEntry(QStringLiteral("Com") + name.mid(3));
    return isValid(n) && entryText(n).compare(name, Qt::CaseInsensitive) == 0 ? n : 0;
}
