#include <QTest>

#include "receivedecoder.h"

namespace {

// What a byte stream decodes into, one word per result: "R07" for a reply, "S00FF12ED" or
// "L..." for a key report.
QStringList decode(ReceiveDecoder &decoder, const QByteArray &bytes)
{
    QStringList out;
    auto hex = [](int b) { return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper(); };
    for (const char c : bytes) {
        const DecodeResult r = decoder.onReceive(static_cast<std::uint8_t>(c));
        if (r.kind == DecodeResult::Kind::ReplyByte)
            out << "R" + hex(r.replyByte);
        if (r.kind == DecodeResult::Kind::KeyMessage) {
            const IrKeyMessage &m = r.message;
            out << (m.pressKind == PressKind::Short ? "S" : "L") + hex(m.userCode1)
                    + hex(m.userCode2) + hex(m.operationCode) + hex(m.inverseCode);
        }
    }
    return out;
}

} // namespace

class TestReceiveDecoder : public QObject
{
    Q_OBJECT
private slots:
    void streams_data();
    void streams();
    void reportSplitAcrossBatches();
};

void TestReceiveDecoder::streams_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<int>("pendingAfter"); // ReceiveDecoder::Marker
    QTest::addColumn<int>("countAfter");
    using M = ReceiveDecoder::Marker;

    QTest::newRow("short press") << QByteArray("\x53\x00\xFF\x12\xED", 5)
                                 << QStringList {"S00FF12ED"} << int(M::None) << 4;
    QTest::newRow("markers inside a report are data")
        << QByteArray("\x4C\x53\x4C\x01\x02") << QStringList {"L534C0102"} << int(M::None) << 4;
    QTest::newRow("reply byte") << QByteArray("\x07") << QStringList {"R07"} << int(M::None) << 0;
    QTest::newRow("two replies in order")
        << QByteArray("\x07\x08") << QStringList {"R07", "R08"} << int(M::None) << 0;
    QTest::newRow("zero is a reply")
        << QByteArray(1, '\0') << QStringList {"R00"} << int(M::None) << 0;
    QTest::newRow("marker alone waits") << QByteArray("\x53") << QStringList {} << int(M::S) << 0;
    QTest::newRow("no timeout: replies complete a report")
        << QByteArray("\x4C\x01\x02") << QStringList {} << int(M::L) << 2;
    QTest::newRow("replies around a report")
        << QByteArray("\x05\x53\x01\x02\x03\x04\x06") << QStringList {"R05", "S01020304", "R06"}
        << int(M::None) << 4;
    QTest::newRow("back to back reports")
        << QByteArray("\x53\x01\x02\x03\x04\x4C\x05\x06\x07\x08")
        << QStringList {"S01020304", "L05060708"} << int(M::None) << 4;
    QTest::newRow("marker right after a report starts the next")
        << QByteArray("\x53\x01\x02\x03\x04\x53\x09") << QStringList {"S01020304"} << int(M::S)
        << 1;
}

void TestReceiveDecoder::streams()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, results);
    QFETCH(int, pendingAfter);
    QFETCH(int, countAfter);
    ReceiveDecoder decoder;
    QCOMPARE(decode(decoder, bytes), results);
    QCOMPARE(int(decoder.pendingMarker()), pendingAfter);
    QCOMPARE(decoder.irByteCount(), countAfter);
}

void TestReceiveDecoder::reportSplitAcrossBatches()
{
    ReceiveDecoder decoder;
    QCOMPARE(decode(decoder, QByteArray("\x53")), QStringList());
    QCOMPARE(decode(decoder, QByteArray("\x10\x20")), QStringList());
    QCOMPARE(decode(decoder, QByteArray("\x30\x40\x50")), (QStringList {"S10203040", "R50"}));
}

QTEST_APPLESS_MAIN(TestReceiveDecoder)
#include "tst_receivedecoder.moc"
