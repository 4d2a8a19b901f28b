#include <QTest>

#include "commandencoder.h"
#include "delaynumber.h"
#include "hexbytetext.h"

using SecondField = CommandPreview::SecondField;
Q_DECLARE_METATYPE(SecondField)

class TestCommandEncoder : public QObject
{
    Q_OBJECT
private slots:
    void byteText_data();
    void byteText();
    void relayCommands_data();
    void relayCommands();
    void delayCommands_data();
    void delayCommands();
    void noOperationLeavesSecondFieldAlone();
    void thirdByteIsDropped();
    void delayNumber_data();
    void delayNumber();
};

void TestCommandEncoder::byteText_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0 << "0x00";
    QTest::newRow("ten") << 10 << "0x0A";
    QTest::newRow("0xC4") << 0xC4 << "0xC4";
    QTest::newRow("max") << 255 << "0xFF";
}

void TestCommandEncoder::byteText()
{
    QFETCH(int, byte);
    QFETCH(QString, text);
    QCOMPARE(::hexByteText(static_cast<std::uint8_t>(byte)), text);
}

void TestCommandEncoder::relayCommands_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QList<int>>("channels");
    QTest::addColumn<int>("expected");
    const QList<int> all {1, 1, 1, 1};
    const QList<int> none {0, 0, 0, 0};
    QTest::newRow("set, all channels") << 0 << all << 0x0F;
    QTest::newRow("energise, all channels") << 1 << all << 0x1F;
    QTest::newRow("release, all channels") << 2 << all << 0x2F;
    QTest::newRow("read, all channels") << 3 << all << 0x3F;
    QTest::newRow("set, no channel") << 0 << none << 0x00;
    QTest::newRow("read, no channel") << 3 << none << 0x30;
    QTest::newRow("energise CH1+CH3") << 1 << QList<int> {1, 0, 1, 0} << 0x15;
    QTest::newRow("release CH2") << 2 << QList<int> {0, 1, 0, 0} << 0x22;
    QTest::newRow("set CH4") << 0 << QList<int> {0, 0, 0, 1} << 0x08;
}

void TestCommandEncoder::relayCommands()
{
    QFETCH(int, operation);
    QFETCH(QList<int>, channels);
    QFETCH(int, expected);

    CommandEncoder encoder;
    CommandSelection selection;
    selection.operation = static_cast<RelayOperation>(operation);
    for (int i = 0; i < 4; ++i)
        selection.channelFlags[i] = channels[i];
    // The delay fields must not matter for relay commands.
    selection.delayText = QStringLiteral("200");
    selection.delayChannel = 3;

    const CommandPreview preview = encoder.compose(selection);
    QCOMPARE(preview.firstByteText, ::hexByteText(static_cast<std::uint8_t>(expected)));
    QCOMPARE(preview.secondField, SecondField::Hidden);
    QCOMPARE(encoder.count(), 1);
    QCOMPARE(encoder.bytes(), QByteArray(1, static_cast<char>(expected)));
}

void TestCommandEncoder::delayCommands_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QByteArray>("expected"); // empty: nothing to send, preview "--"

    QTest::newRow("200 s on CH2") << "200" << 1 << QByteArray("\xF1\xA1");
    QTest::newRow("16 s on CH1") << "16" << 0 << QByteArray("\xC4");
    QTest::newRow("5 s on CH4") << "5" << 3 << QByteArray("\x97");
    QTest::newRow("255 s on CH3") << "255" << 2 << QByteArray("\xFE\xBE");
    QTest::newRow("15 s on CH1") << "15" << 0 << QByteArray("\xBC");
    QTest::newRow("17 s on CH1") << "17" << 0 << QByteArray("\xC4\x84");
    QTest::newRow("1 s on CH1") << "1" << 0 << QByteArray("\x84");
    QTest::newRow("17 with spaces, CH3") << "  17   " << 2 << QByteArray("\xC6\x86");
    QTest::newRow("no option selected") << "17" << -1 << QByteArray("\xC4\x84");
    QTest::newRow("channel beyond CH4") << "17" << 4 << QByteArray("\xC4\x84");
    QTest::newRow("2.5 rounds to 2") << "2.5" << 0 << QByteArray("\x88");
    QTest::newRow("3.5 rounds to 4") << "3.5" << 0 << QByteArray("\x90");
    QTest::newRow("254.5 rounds to 254") << "254.5" << 0 << QByteArray("\xFC\xB8");
    QTest::newRow("exponent 1.6e1") << "1.6e1" << 0 << QByteArray("\xC4");

    const QByteArray nothing;
    QTest::newRow("0") << "0" << 0 << nothing;
    QTest::newRow("256") << "256" << 0 << nothing;
    QTest::newRow("-3") << "-3" << 0 << nothing;
    QTest::newRow("abc") << "abc" << 0 << nothing;
    QTest::newRow("empty") << "" << 0 << nothing;
    QTest::newRow("spaces only") << "   " << 0 << nothing;
    QTest::newRow("0.5 rounds to 0") << "0.5" << 0 << nothing;
    QTest::newRow("255.5 rounds to 256") << "255.5" << 0 << nothing;
    QTest::newRow("65537 does not wrap to 1") << "65537" << 0 << nothing;
    QTest::newRow("65536+200 does not wrap") << "65736" << 1 << nothing;
    QTest::newRow("huge exponent") << "1e999999999999" << 0 << nothing;
    QTest::newRow("tab is not a space") << "\t17" << 0 << nothing;
    QTest::newRow("hex notation") << "0x11" << 0 << nothing;
}

void TestCommandEncoder::delayCommands()
{
    QFETCH(QString, text);
    QFETCH(int, channel);
    QFETCH(QByteArray, expected);

    CommandEncoder encoder;
    CommandSelection selection;
    selection.operation = RelayOperation::DelayedRelay;
    selection.channelFlags = {1, 1, 1, 1}; // must not leak into delay bytes
    selection.delayText = text;
    selection.delayChannel = channel; // out-of-range channels are clamped to CH1

    const CommandPreview preview = encoder.compose(selection);
    QCOMPARE(encoder.bytes(), expected);
    QCOMPARE(encoder.count(), expected.size());
    if (expected.isEmpty()) {
        QCOMPARE(preview.firstByteText, QStringLiteral("--"));
        QCOMPARE(preview.secondField, SecondField::Hidden);
        return;
    }
    QCOMPARE(preview.firstByteText, ::hexByteText(static_cast<std::uint8_t>(expected[0])));
    if (expected.size() == 2) {
        QCOMPARE(preview.secondField, SecondField::Shown);
        QCOMPARE(preview.secondByteText, ::hexByteText(static_cast<std::uint8_t>(expected[1])));
    } else {
        QCOMPARE(preview.secondField, SecondField::Hidden);
    }
}

void TestCommandEncoder::noOperationLeavesSecondFieldAlone()
{
    CommandEncoder encoder;
    CommandSelection selection;
    selection.operation = RelayOperation::DelayedRelay;
    selection.delayText = QStringLiteral("200");
    encoder.compose(selection);
    QCOMPARE(encoder.count(), 2);

    selection.operation = RelayOperation::None;
    const CommandPreview preview = encoder.compose(selection);
    QCOMPARE(preview.firstByteText, QStringLiteral("--"));
    QCOMPARE(preview.secondField, SecondField::Unchanged);
    QCOMPARE(encoder.count(), 0);
    QVERIFY(encoder.bytes().isEmpty());
}

void TestCommandEncoder::thirdByteIsDropped()
{
    CommandEncoder encoder;
    encoder.append(0x11);
    encoder.append(0x22);
    encoder.append(0x33);
    QCOMPARE(encoder.count(), 2);
    QCOMPARE(encoder.bytes(), QByteArray("\x11\x22"));
    encoder.clear();
    QCOMPARE(encoder.count(), 0);
    encoder.append(0x44);
    QCOMPARE(encoder.bytes(), QByteArray("\x44"));
}

// The rule on its own, including values the encoder never turns into bytes: the send action
// tells "empty" from "out of range" with it.
void TestCommandEncoder::delayNumber_data()
{
    using Kind = DelayNumber::Kind;
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("value");
    QTest::newRow("empty") << "" << int(Kind::Empty) << 0;
    QTest::newRow("spaces") << "    " << int(Kind::Empty) << 0;
    QTest::newRow("plain") << "45" << int(Kind::Value) << 45;
    QTest::newRow("plus sign") << "+45" << int(Kind::Value) << 45;
    QTest::newRow("leading zeros") << "00045" << int(Kind::Value) << 45;
    QTest::newRow("negative") << "-3" << int(Kind::Value) << -3;
    QTest::newRow("-2.5 to even") << "-2.5" << int(Kind::Value) << -2;
    QTest::newRow("minus zero") << "-0" << int(Kind::Value) << 0;
    QTest::newRow("trailing point") << "7." << int(Kind::Value) << 7;
    QTest::newRow("leading point") << ".5" << int(Kind::Value) << 0;
    QTest::newRow(".51 above half") << ".51" << int(Kind::Value) << 1;
    QTest::newRow("just above half") << "2.5000000000000000001" << int(Kind::Value) << 3;
    QTest::newRow("just below half") << "2.4999999999999999999" << int(Kind::Value) << 2;
    QTest::newRow("exponent") << "2.55E+2" << int(Kind::Value) << 255;
    QTest::newRow("negative exponent") << "1500e-1" << int(Kind::Value) << 150;
    QTest::newRow("tiny") << "1e-999999999999" << int(Kind::Value) << 0;
    QTest::newRow("zero huge exponent") << "0e999999999999" << int(Kind::Value) << 0;
    QTest::newRow("int16 max") << "32767" << int(Kind::Value) << 32767;
    QTest::newRow("int16 min") << "-32768" << int(Kind::Value) << -32768;
    QTest::newRow("32767.5 rounds out") << "32767.5" << int(Kind::OutOfRange) << 0;
    QTest::newRow("32768") << "32768" << int(Kind::OutOfRange) << 0;
    QTest::newRow("65537") << "65537" << int(Kind::OutOfRange) << 0;
    QTest::newRow("many digits") << "123456789012345678901234567890" << int(Kind::OutOfRange) << 0;
    QTest::newRow("huge exponent") << "1e999999999999" << int(Kind::OutOfRange) << 0;
    QTest::newRow("sign only") << "-" << int(Kind::NotNumber) << 0;
    QTest::newRow("point only") << "." << int(Kind::NotNumber) << 0;
    QTest::newRow("bare exponent") << "1e" << int(Kind::NotNumber) << 0;
    QTest::newRow("inner space") << "1 7" << int(Kind::NotNumber) << 0;
    QTest::newRow("comma") << "2,5" << int(Kind::NotNumber) << 0;
    QTest::newRow("full-width digits") << QString::fromUtf8("１７") << int(Kind::NotNumber) << 0;
    QTest::newRow("inf") << "inf" << int(Kind::NotNumber) << 0;
    QTest::newRow("two signs") << "+-1" << int(Kind::NotNumber) << 0;
}

void TestCommandEncoder::delayNumber()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(int, value);
    const DelayNumber number = parseDelayNumber(text);
    QCOMPARE(int(number.kind), kind);
    QCOMPARE(int(number.value), value);
}

QTEST_APPLESS_MAIN(TestCommandEncoder)
#include "tst_commandencoder.moc"
