#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QTest>

#include "appicons.h"
#include "keyreportcontroller.h"
#include "keyreportmodel.h"
#include "keyreportview.h"
#include "keyreportwindow.h"

namespace {
const IrKeyMessage shortKey {PressKind::Short, 0x00, 0xFF, 0x12, 0xED};
const IrKeyMessage longKey {PressKind::Long, 0x53, 0x4C, 0x01, 0x02};

QImage iconImage(const QVariant &decoration)
{
    return decoration.value<QIcon>().pixmap(16, 16).toImage().convertToFormat(
        QImage::Format_ARGB32);
}
} // namespace

class TestKeyReportWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void firstReportShowsTheWindowWithOneSelectedRow();
    void columns();
    void iconsFollowThePressKind();
    void contextMenuClearsTheList();
    void closeThenReportOpensANewWindow();
    void newestRowStaysSelectedAndVisible();
    void clickSelectsAndHeaderClickDoesNothing();
    void readableThroughAccessibility();

private:
    KeyReportWindow *window() const
    {
        return qobject_cast<KeyReportWindow *>(m_controller->window());
    }
    std::unique_ptr<KeyReportController> m_controller;
};

void TestKeyReportWindow::init()
{
    m_controller = std::make_unique<KeyReportController>();
    KeyReportWindow::serve(*m_controller);
}

void TestKeyReportWindow::cleanup()
{
    delete window();
    m_controller.reset();
}

void TestKeyReportWindow::firstReportShowsTheWindowWithOneSelectedRow()
{
    QCOMPARE(m_controller->window(), nullptr);
    m_controller->addReport(shortKey);
    KeyReportWindow *w = window();
    QVERIFY(w);
    QVERIFY(w->isVisible());
    QCOMPARE(w->windowTitle(), QStringLiteral("红外按键消息"));
    QCOMPARE(w->size(), QSize(385, 153));
    QVERIFY(!w->windowIcon().isNull());
    QCOMPARE(w->list()->geometry(), QRect(0, 0, 385, 153));
    QCOMPARE(w->list()->objectName(), QStringLiteral("lvIRCmd"));
    QCOMPARE(w->model()->rowCount(), 1);
    const QModelIndexList selected = w->list()->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().row(), 0);
    QVERIFY(!w->testAttribute(Qt::WA_QuitOnClose));
    QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(w->testAttribute(Qt::WA_ShowWithoutActivating));
}

void TestKeyReportWindow::columns()
{
    m_controller->addReport(shortKey);
    QHeaderView *header = window()->list()->header();
    QCOMPARE(header->count(), 5);
    const QStringList titles {"按键类型", "用户码1", "用户码2", "操作码", "反码"};
    for (int c = 0; c < 5; ++c) {
        QCOMPARE(window()->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(),
                 titles[c]);
        QCOMPARE(header->sectionSize(c), 53); // 800 twips
    }
    QVERIFY(header->defaultAlignment() & Qt::AlignLeft);
    QVERIFY(!header->sectionsClickable());
    QVERIFY(header->isVisible());
}

void TestKeyReportWindow::iconsFollowThePressKind()
{
    m_controller->addReport(shortKey);
    m_controller->addReport(longKey);
    KeyReportModel *model = window()->model();
    const QImage shortImage = iconImage(model->data(model->index(0, 0), Qt::DecorationRole));
    const QImage longImage = iconImage(model->data(model->index(1, 0), Qt::DecorationRole));
    QCOMPARE(shortImage, iconImage(QIcon(AppIcons::shortPress())));
    QCOMPARE(longImage, iconImage(QIcon(AppIcons::longPress())));
    QVERIFY(shortImage != longImage);
    QVERIFY(!model->data(model->index(0, 1), Qt::DecorationRole).isValid());
}

void TestKeyReportWindow::contextMenuClearsTheList()
{
    m_controller->addReport(shortKey);
    m_controller->addReport(longKey);
    KeyReportWindow *w = window();
    QWidget *viewport = w->list()->viewport();
    const QPoint at(20, 10);
    QContextMenuEvent press(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &press);
    QMenu *popup = w->popupMenu();
    QTRY_VERIFY(popup->isVisible());
    QCOMPARE(popup->actions().size(), 1);
    QCOMPARE(w->emptyListAction()->text(), QStringLiteral("清空列表"));
    QTest::mouseClick(popup, Qt::LeftButton, {},
                      popup->actionGeometry(w->emptyListAction()).center());
    QCOMPARE(w->model()->rowCount(), 0);
    QVERIFY(w->isVisible());

    m_controller->addReport(longKey);
    QCOMPARE(window(), w);
    QCOMPARE(w->model()->rowCount(), 1);
    QCOMPARE(w->model()->message(0), longKey);
    QCOMPARE(w->list()->selectionModel()->selectedRows().first().row(), 0);
}

void TestKeyReportWindow::closeThenReportOpensANewWindow()
{
    m_controller->addReport(shortKey);
    m_controller->addReport(shortKey);
    QPointer<KeyReportWindow> first = window();
    first->close();
    QCOMPARE(m_controller->window(), nullptr);
    QTRY_VERIFY(first.isNull()); // destroyed with its rows

    m_controller->addReport(longKey);
    QVERIFY(window());
    QVERIFY(window()->isVisible());
    QCOMPARE(window()->model()->rowCount(), 1);
    QCOMPARE(window()->model()->message(0), longKey);
}

void TestKeyReportWindow::newestRowStaysSelectedAndVisible()
{
    std::vector<IrKeyMessage> batch(50, shortKey);
    for (int i = 0; i < 20; ++i) {
        batch.back().userCode1 = static_cast<std::uint8_t>(i);
        m_controller->addReports(batch);
        KeyReportView *list = window()->list();
        const int last = window()->model()->rowCount() - 1;
        QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(list->selectionModel()->selectedRows().first().row(), last);
        QCOMPARE(list->currentIndex().row(), last);
        const QRect rect = list->visualRect(window()->model()->index(last, 0));
        QVERIFY2(list->viewport()->rect().contains(rect), qPrintable(QString::number(i)));
    }
    QCOMPARE(window()->model()->rowCount(), 1000);
    QCOMPARE(window()->model()->message(999).userCode1, 19);
}

void TestKeyReportWindow::clickSelectsAndHeaderClickDoesNothing()
{
    m_controller->addReport(shortKey);
    m_controller->addReport(longKey);
    KeyReportView *list = window()->list();
    const QModelIndex firstRow = window()->model()->index(0, 2);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(firstRow).center());
    QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(list->selectionModel()->selectedRows().first().row(), 0);

    QHeaderView *header = list->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
    QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(list->selectionModel()->selectedRows().first().row(), 0);
    QCOMPARE(window()->model()->message(0), shortKey); // not sorted
}

void TestKeyReportWindow::readableThroughAccessibility()
{
    m_controller->addReport(shortKey);
    m_controller->addReport(longKey);
    QAccessibleInterface *list = QAccessible::queryAccessibleInterface(window()->list());
    QVERIFY(list);
    QAccessibleTableInterface *table = list->tableInterface();
    QVERIFY(table);
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(table->columnCount(), 5);
    QCOMPARE(table->columnDescription(0), QStringLiteral("按键类型"));
    QCOMPARE(table->columnDescription(3), QStringLiteral("操作码"));
    QCOMPARE(table->cellAt(0, 0)->text(QAccessible::Name), QStringLiteral("短按"));
    QCOMPARE(table->cellAt(1, 0)->text(QAccessible::Name), QStringLiteral("长按"));
    QCOMPARE(table->cellAt(1, 3)->text(QAccessible::Name), QStringLiteral("0x01"));
    QCOMPARE(table->selectedRows(), QList<int> {1});
}

QTEST_MAIN(TestKeyReportWindow)
#include "tst_keyreportwindow.moc"
