#include <QTest>

#include "fakeirview.h"
#include "irkeylistmodel.h"
#include "irmessagewindow.h"

namespace {
const IrKeyMessage keyA{PressKind::Short, 0x00, 0xFF, 0x12, 0xED};
const IrKeyMessage keyB{PressKind::Long, 0x53, 0x4C, 0x01, 0x02};
const IrKeyMessage keyC{PressKind::Short, 0x01, 0x02, 0x03, 0x04};
}  // namespace

class TestIrMessageWindow : public QObject {
    Q_OBJECT
private slots:
    void notCreatedUntilTheFirstReport();
    void firstReportShowsOneSelectedRow();
    void laterReportsAppendAndSelectWithoutReshowing();
    void batchSelectsItsNewestRow();
    void clearThenReport();
    void closeThenReportStartsAnEmptyWindow();
    void closeIfOpen();
    void modelTexts_data();
    void modelTexts();
};

void TestIrMessageWindow::notCreatedUntilTheFirstReport()
{
    FakeIrViews views;
    IrMessageWindow window(views.factory());
    window.closeIfOpen();
    window.onEmptyList();
    window.addKeyMessages({});
    QVERIFY(views.created.empty());
    QCOMPARE(window.view(), nullptr);
}

void TestIrMessageWindow::firstReportShowsOneSelectedRow()
{
    FakeIrViews views;
    IrMessageWindow window(views.factory());
    window.addKeyMessage(keyA);
    QCOMPARE(views.created.size(), std::size_t(1));
    const auto& w = *views.created[0];
    QCOMPARE(w.rows, QList<IrKeyMessage>{keyA});
    QCOMPARE(w.selectedRow, 0);
    QVERIFY(w.shown);
    QCOMPARE(w.showCalls, 1);
}

void TestIrMessageWindow::laterReportsAppendAndSelectWithoutReshowing()
{
    FakeIrViews views;
    IrMessageWindow window(views.factory());
    window.addKeyMessage(keyA);
    window.addKeyMessage(keyB);
    window.addKeyMessage(keyA);  // no de-duplication
    QCOMPARE(views.created.size(), std::size_t(1));
    const auto& w = *views.created[0];
    QCOMPARE(w.rows, (QList<IrKeyMessage>{keyA, keyB, keyA}));
    QCOMPARE(w.selectedRow, 2);
    QCOMPARE(w.showCalls, 1);
}

void TestIrMessageWindow::batchSelectsItsNewestRow()
{
    FakeIrViews views;
    IrMessageWindow window(views.factory());
    const std::vector<IrKeyMessage> batch{keyA, keyB, keyC};
    window.addKeyMessages(batch);
    const auto& w = *views.created[0];
    QCOMPARE(w.rows, (QList<IrKeyMessage>{keyA, keyB, keyC}));
    QCOMPARE(w.selectedRow, 2);
    QCOMPARE(w.showCalls, 1);
}

void TestIrMessageWindow::clearThenReport()
{
    FakeIrViews views;
    IrMessageWindow window(views.factory());
    window.addKeyMessage(keyA);
    window.addKeyMessage(keyB);
    window.onEmptyList();
    QVERIFY(views.created[0]->rows.isEmpty());
    QVERIFY(views.created[0]->shown);  // the window stays open
    window.addKeyMessage(keyC);
    QCOMPARE(views.created.size(), std::size_t(1));
    QCOMPARE(views.created[0]->rows, QList<IrKeyMessage>{keyC});
    QCOMPARE(views.created[0]->selectedRow, 0);
}

void TestIrMessageWindow::closeThenReportStartsAnEmptyWindow()
{
    FakeIrViews views;
    IrMessageWindow window(views.factory());
    window.addKeyMessage(keyA);
    window.view()->closeWindow();  // the operator closes it
    QCOMPARE(window.view(), nullptr);
    QTRY_VERIFY(views.created[0]->destroyed);

    window.addKeyMessage(keyB);
    QCOMPARE(views.created.size(), std::size_t(2));
    QCOMPARE(views.created[1]->rows, QList<IrKeyMessage>{keyB});
    QCOMPARE(views.created[1]->selectedRow, 0);
    QVERIFY(views.created[1]->shown);
}

void TestIrMessageWindow::closeIfOpen()
{
    FakeIrViews views;
    {
        IrMessageWindow window(views.factory());
        window.addKeyMessage(keyA);
        window.closeIfOpen();
        QVERIFY(views.created[0]->closed);
        QCOMPARE(window.view(), nullptr);
        window.addKeyMessage(keyB);  // still open when the controller goes
    }
    QVERIFY(views.created[0]->destroyed);
    QVERIFY(views.created[1]->destroyed);
}

void TestIrMessageWindow::modelTexts_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("shortText");
    QTest::addColumn<QString>("longText");
    QTest::newRow("press") << 0 << "按键类型" << "短按" << "长按";
    QTest::newRow("user code 1") << 1 << "用户码1" << "0x00" << "0x53";
    QTest::newRow("user code 2") << 2 << "用户码2" << "0xFF" << "0x4C";
    QTest::newRow("operation") << 3 << "操作码" << "0x12" << "0x01";
    QTest::newRow("inverse") << 4 << "反码" << "0xED" << "0x02";
}

void TestIrMessageWindow::modelTexts()
{
    QFETCH(int, column);
    QFETCH(QString, header);
    QFETCH(QString, shortText);
    QFETCH(QString, longText);
    IrKeyListModel model{QIcon(), QIcon()};
    const std::vector<IrKeyMessage> rows{keyA, keyB};
    model.append(rows);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.columnCount(), 5);
    QCOMPARE(model.headerData(column, Qt::Horizontal, Qt::DisplayRole).toString(), header);
    QCOMPARE(model.data(model.index(0, column), Qt::DisplayRole).toString(), shortText);
    QCOMPARE(model.data(model.index(1, column), Qt::DisplayRole).toString(), longText);
    QCOMPARE(model.message(1), keyB);
    QVERIFY(!(model.flags(model.index(0, column)) & Qt::ItemIsEditable));
    model.clear();
    QCOMPARE(model.rowCount(), 0);
}

QTEST_GUILESS_MAIN(TestIrMessageWindow)
#include "tst_irmessagewindow.moc"
