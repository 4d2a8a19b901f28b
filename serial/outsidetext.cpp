#include "outsidetext.h"

QString escapeOutsideText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\') {
            out += QLatin1String("\\\\");
        } else if (u == u'\t') {
            out += QLatin1String("\\t");
        } else if (u == u'\n') {
            out += QLatin1String("\\n");
        } else if (u == u'\r') {
            out += QLatin1String("\\r");
        } else if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0)
                   || c.category() == QChar::Other_Format) {
            // The C1 controls and the invisible format characters (bidirectional overrides)
            // can rewrite what a terminal shows as much as an escape sequence can.
            out += u > 0xFF ? QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'))
                            : QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}
