#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include "keyreportcontroller.h"
#include "keyreportmodel.h"

Q_DECLARE_METATYPE(IrKeyMessage)

namespace {
const IrKeyMessage keyA {PressKind::Short, 0x00, 0xFF, 0x12, 0xED};
const IrKeyMessage keyB {PressKind::Long, 0x53, 0x4C, 0x01, 0x02};
const IrKeyMessage keyC {PressKind::Short, 0x01, 0x02, 0x03, 0x04};

QList<IrKeyMessage> rowsOf(const KeyReportModel &model)
{
    QList<IrKeyMessage> rows;
    for (int i = 0; i < model.rowCount(); ++i)
        rows << model.message(i);
    return rows;
}

struct Reports
{
    KeyReportController controller;
    QAbstractItemModelTester tester {controller.model(),
                                     QAbstractItemModelTester::FailureReportingMode::QtTest};
    QSignalSpy added {&controller, &KeyReportController::reportsAdded};

    int lastAdded() const { return added.isEmpty() ? -1 : added.last().first().toInt(); }
};
} // namespace

class TestKeyReportController : public QObject
{
    Q_OBJECT
private slots:
    void nothingUntilTheFirstReport();
    void reportsAppendInOrderAndAnnounceTheNewestOnce_data();
    void reportsAppendInOrderAndAnnounceTheNewestOnce();
    void clearStartsTheListAgain();
    void modelTexts_data();
    void modelTexts();
};

void TestKeyReportController::nothingUntilTheFirstReport()
{
    Reports r;
    r.controller.clear();
    r.controller.addReports({});
    QCOMPARE(r.added.size(), 0);
    QCOMPARE(r.controller.model()->rowCount(), 0);
}

void TestKeyReportController::reportsAppendInOrderAndAnnounceTheNewestOnce_data()
{
    QTest::addColumn<QList<QList<IrKeyMessage>>>("batches");
    QTest::addColumn<QList<int>>("announced"); // reportsAdded arguments, in order
    QTest::newRow("one report") << QList<QList<IrKeyMessage>> {{keyA}} << QList<int> {0};
    QTest::newRow("three singles, repeats kept")
        << QList<QList<IrKeyMessage>> {{keyA}, {keyB}, {keyA}} << QList<int> {0, 1, 2};
    QTest::newRow("one batch of three")
        << QList<QList<IrKeyMessage>> {{keyA, keyB, keyC}} << QList<int> {2};
    QTest::newRow("two batches") << QList<QList<IrKeyMessage>> {{keyA, keyB}, {keyC, keyA, keyB}}
                                 << QList<int> {1, 4};
}

void TestKeyReportController::reportsAppendInOrderAndAnnounceTheNewestOnce()
{
    QFETCH(QList<QList<IrKeyMessage>>, batches);
    QFETCH(QList<int>, announced);
    Reports r;
    QList<IrKeyMessage> all;
    for (const auto &batch : batches) {
        const std::vector<IrKeyMessage> reports(batch.begin(), batch.end());
        r.controller.addReports(reports);
        all << batch;
    }
    QCOMPARE(rowsOf(*r.controller.model()), all);
    QList<int> got;
    for (const auto &args : r.added)
        got << args.first().toInt();
    QCOMPARE(got, announced);
}

void TestKeyReportController::clearStartsTheListAgain()
{
    Reports r;
    r.controller.addReport(keyA);
    r.controller.addReport(keyB);
    r.controller.clear();
    QCOMPARE(r.controller.model()->rowCount(), 0);
    r.controller.addReport(keyC);
    QCOMPARE(rowsOf(*r.controller.model()), QList<IrKeyMessage> {keyC});
    QCOMPARE(r.lastAdded(), 0);
}

void TestKeyReportController::modelTexts_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("shortText");
    QTest::addColumn<QString>("longText");
    QTest::newRow("press") << 0 << "按键类型"
                           << "短按"
                           << "长按";
    QTest::newRow("user code 1") << 1 << "用户码1"
                                 << "0x00"
                                 << "0x53";
    QTest::newRow("user code 2") << 2 << "用户码2"
                                 << "0xFF"
                                 << "0x4C";
    QTest::newRow("operation") << 3 << "操作码"
                               << "0x12"
                               << "0x01";
    QTest::newRow("inverse") << 4 << "反码"
                             << "0xED"
                             << "0x02";
}

void TestKeyReportController::modelTexts()
{
    QFETCH(int, column);
    QFETCH(QString, header);
    QFETCH(QString, shortText);
    QFETCH(QString, longText);
    KeyReportModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setPressIcons(QStringLiteral("short icon"), QStringLiteral("long icon"));
    const std::vector<IrKeyMessage> rows {keyA, keyB};
    model.append(rows);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.columnCount(), 5);
    QCOMPARE(model.headerData(column, Qt::Horizontal, Qt::DisplayRole).toString(), header);
    QCOMPARE(model.data(model.index(0, column), Qt::DisplayRole).toString(), shortText);
    QCOMPARE(model.data(model.index(1, column), Qt::DisplayRole).toString(), longText);
    QCOMPARE(model.data(model.index(0, column), Qt::DecorationRole),
             column == 0 ? QVariant(QStringLiteral("short icon")) : QVariant());
    QCOMPARE(model.data(model.index(1, column), Qt::DecorationRole),
             column == 0 ? QVariant(QStringLiteral("long icon")) : QVariant());
    QCOMPARE(model.message(1), keyB);
    QVERIFY(!(model.flags(model.index(0, column)) & Qt::ItemIsEditable));
    model.clear();
    QCOMPARE(model.rowCount(), 0);
}

QTEST_GUILESS_MAIN(TestKeyReportController)
#include "tst_keyreportcontroller.moc"
