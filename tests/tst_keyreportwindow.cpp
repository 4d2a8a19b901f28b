#include <QAccessible>
#include <QAccessibleTableInterface>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QTest>

#include "appicons.h"
#include "keyreportcontroller.h"
#include "keyreportmodel.h"
#include "keyreportview.h"
#include "keyreportwindow.h"
#include "textfit.h"

namespace {
const IrKeyMessage shortKey {PressKind::Short, 0x00, 0xFF, 0x12, 0xED};
const IrKeyMessage longKey {PressKind::Long, 0x53, 0x4C, 0x01, 0x02};

// Delivers the repaints asked for so far (widgets ask by a posted event); nothing is pending
// afterwards unless something new arrives.
void paintWhatIsAskedFor()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QCoreApplication::sendPostedEvents();
}

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
    void shape();
    void growsWithTheFont_data();
    void growsWithTheFont();
    void rowsPresentWhenItOpensShowTheNewestSelected();
    void columns();
    void iconsFollowThePressKind();
    void contextMenuClearsTheList();
    void newestRowStaysSelectedAndVisible();
    void clickSelectsAndHeaderClickDoesNothing();
    void readableThroughAccessibility();

private:
    // Opens the window over the controller's rows, as the main window does on the first report.
    KeyReportWindow *open()
    {
        m_window = new KeyReportWindow(m_controller->model());
        connect(m_window, &KeyReportWindow::clearRequested, m_controller.get(),
                &KeyReportController::clear);
        m_window->show();
        return m_window;
    }
    KeyReportWindow *window() const { return m_window; }
    std::unique_ptr<KeyReportController> m_controller;
    QPointer<KeyReportWindow> m_window;
};

void TestKeyReportWindow::init()
{
    m_controller = std::make_unique<KeyReportController>();
}

void TestKeyReportWindow::cleanup()
{
    delete m_window.data();
    m_controller.reset();
}

void TestKeyReportWindow::shape()
{
    KeyReportWindow *w = open();
    QCOMPARE(w->windowTitle(), QStringLiteral("红外按键消息"));
    QCOMPARE(w->size(), QSize(385, 153));
    QVERIFY(!w->windowIcon().isNull());
    QCOMPARE(w->list()->geometry(), QRect(0, 0, 385, 153));
    QCOMPARE(w->list()->objectName(), QStringLiteral("lvIRCmd"));
    QVERIFY(!w->testAttribute(Qt::WA_QuitOnClose));
    QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(w->testAttribute(Qt::WA_ShowWithoutActivating));
    QSignalSpy closed(w, &KeyReportWindow::closed);
    w->close();
    QCOMPARE(closed.size(), 1);
    QTRY_VERIFY(m_window.isNull()); // it deletes itself on closing
}

void TestKeyReportWindow::growsWithTheFont_data()
{
    QTest::addColumn<QString>("style");
    QTest::addColumn<qreal>("fontFactor");
    QTest::addColumn<bool>("whileOpen"); // the style and font change with the window open
    for (const QString &style : QStyleFactory::keys()) {
        for (const qreal factor : {1.0, 1.5})
            QTest::addRow("%s, font x%.1f", qPrintable(style), factor) << style << factor << false;
        QTest::addRow("%s, font x1.5 while open", qPrintable(style)) << style << 1.5 << true;
    }
}

// Every header and every cell shows its text whole, told by rendering (textfit.h): each column
// is drawn at its own width and again with room to spare, with its texts and with them made
// invisible; the window keeps the drawn-up size with the default font and grows with a larger
// one; and a window made larger gives the list the room.
void TestKeyReportWindow::growsWithTheFont()
{
    QFETCH(QString, style);
    QFETCH(qreal, fontFactor);
    QFETCH(bool, whileOpen);
    const QFont appFont = QApplication::font();
    const QString appStyle = QApplication::style()->name();
    const auto restore = qScopeGuard([&] {
        QApplication::setStyle(appStyle);
        QApplication::setFont(appFont);
    });
    KeyReportWindow *w = whileOpen ? open() : nullptr;
    QApplication::setStyle(style);
    QFont font = appFont;
    font.setPointSizeF(appFont.pointSizeF() * fontFactor);
    QApplication::setFont(font);
    if (!w)
        w = open();
    KeyReportView *list = w->list();
    QHeaderView *header = list->header();
    const qreal scale = QFontInfo(w->font()).pixelSize() / 12.0;
    if (scale <= 1.0) {
        // The drawn-up size; a style with wider header margins widens a column over 800 twips
        // (53 pixels) rather than clip its title.
        QCOMPARE(w->size(), QSize(385, 153));
        for (int c = 0; c < 5; ++c)
            QVERIFY(header->sectionSize(c) >= 53);
    } else {
        QVERIFY2(w->width() >= qFloor(385 * scale) && w->height() >= qFloor(153 * scale),
                 qPrintable(QStringLiteral("%1x%2").arg(w->width()).arg(w->height())));
    }

    // A row of the widest texts by this font, for each press kind.
    const QFontMetrics fm = list->fontMetrics();
    std::uint8_t widest = 0;
    for (int v = 1; v < 256; ++v) {
        if (fm.horizontalAdvance(QStringLiteral("0x%1").arg(v, 2, 16, QLatin1Char('0')).toUpper())
            > fm.horizontalAdvance(
                QStringLiteral("0x%1").arg(widest, 2, 16, QLatin1Char('0')).toUpper()))
            widest = std::uint8_t(v);
    }
    m_controller->addReport({PressKind::Short, widest, widest, widest, widest});
    m_controller->addReport({PressKind::Long, widest, widest, widest, widest});
    QSignalSpy announced(list, &KeyReportView::rowsAnnounced);
    QVERIFY(announced.wait(5000));
    list->selectionModel()->clear(); // every row in the plain text colour

    // Room for every column to take 400 pixels more.
    const QSize own = w->size();
    w->resize(header->length() + 5 * 400 + 100, own.height());
    const auto columnProblem = [&](int column, QWidget *surface, QPalette::ColorRole role,
                                   int row) {
        // The view paints its viewport with its own palette.
        QWidget *view = surface->parentWidget();
        const int width = header->sectionSize(column);
        const QPalette normal = view->palette();
        QPalette invisible = normal;
        invisible.setColor(role, Qt::transparent);
        const auto shot = [&](int sectionWidth, bool text) {
            header->resizeSection(column, sectionWidth);
            view->setPalette(text ? normal : invisible);
            const QRect cell = row < 0
                ? QRect(header->sectionViewportPosition(column), 0, sectionWidth, surface->height())
                : list->visualRect(w->model()->index(row, column));
            return TextFit::renderAlone(surface).copy(cell);
        };
        const QString problem = TextFit::compare(shot(width, true), shot(width, false),
                                                 shot(width + 400, true), shot(width + 400, false));
        header->resizeSection(column, width);
        view->setPalette(normal);
        return problem;
    };
    for (int c = 0; c < 5; ++c) {
        const QString title = w->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        const QString inHeader = columnProblem(c, header->viewport(), QPalette::ButtonText, -1);
        QVERIFY2(inHeader.isEmpty(), qPrintable(title + QStringLiteral(": ") + inHeader));
        for (int row = 0; row < 2; ++row) {
            const QString inCell = columnProblem(c, list->viewport(), QPalette::Text, row);
            QVERIFY2(inCell.isEmpty(),
                     qPrintable(QStringLiteral("%1, row %2: %3").arg(title).arg(row).arg(inCell)));
        }
    }

    // Made larger by the operator, the window gives the list the room.
    w->resize(own + QSize(200, 120));
    QCOMPARE(list->geometry(), w->rect());
    QVERIFY(list->viewport()->height() / list->rowHeight() >= 2);
}

void TestKeyReportWindow::rowsPresentWhenItOpensShowTheNewestSelected()
{
    // The first report arrives before its window exists.
    m_controller->addReport(shortKey);
    m_controller->addReport(longKey);
    KeyReportWindow *w = open();
    QSignalSpy announced(w->list(), &KeyReportView::rowsAnnounced);
    QCOMPARE(w->model()->rowCount(), 2);
    // Selection follows at the next display frame.
    QVERIFY(announced.wait(5000));
    QCOMPARE(announced.first(), (QVariantList {0, 1}));
    QCOMPARE(w->list()->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(w->list()->selectionModel()->selectedRows().first().row(), 1);
    QCOMPARE(w->list()->currentIndex().row(), 1);
}

void TestKeyReportWindow::columns()
{
    open();
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
    open();
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
    KeyReportWindow *w = open();
    m_controller->addReport(shortKey);
    m_controller->addReport(longKey);
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
    QCOMPARE(w->model()->rowCount(), 1);
    QCOMPARE(w->model()->message(0), longKey);
    QTRY_COMPARE(w->list()->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(w->list()->selectionModel()->selectedRows().first().row(), 0);
}

void TestKeyReportWindow::newestRowStaysSelectedAndVisible()
{
    KeyReportView *list = open()->list();
    QSignalSpy announced(list, &KeyReportView::rowsAnnounced);
    m_controller->addReport(shortKey);
    QVERIFY(announced.wait(5000));
    QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
    QVERIFY(QTest::qWaitForWindowExposed(window()));
    paintWhatIsAskedFor();
    announced.clear();

    // Counts what the list does per frame: selection moves, paints, announcements.
    QSignalSpy currentMoves(list->selectionModel(), &QItemSelectionModel::currentRowChanged);
    struct PaintCounter : QObject
    {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    list->viewport()->installEventFilter(&counter);

    // 1,000 reports in 520 batches, all before the next frame: single reports as a paced
    // line brings them, and bursts as a busy one does.
    std::vector<IrKeyMessage> sent {shortKey};
    std::vector<IrKeyMessage> batch;
    for (int i = 1; i < 1000;) {
        batch.clear();
        const int size = i % 40 == 0 ? 50 : 1;
        for (int k = 0; k < size && i < 1000; ++k, ++i)
            batch.push_back({i % 3 ? PressKind::Short : PressKind::Long, std::uint8_t(i),
                             std::uint8_t(i >> 8), std::uint8_t(i * 7), std::uint8_t(~i)});
        m_controller->addReports(batch);
        sent.insert(sent.end(), batch.begin(), batch.end());
    }
    // The model took every report at once, in order.
    QCOMPARE(window()->model()->rowCount(), 1000);
    for (int row = 0; row < 1000; ++row)
        QCOMPARE(window()->model()->message(row), sent[std::size_t(row)]);
    QCOMPARE(currentMoves.size(), 0); // nothing shown yet

    QVERIFY(announced.wait(5000)); // the frame
    QCOMPARE(list->currentIndex().row(), 999);
    QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(list->selectionModel()->selectedRows().first().row(), 999);
    const QRect rect = list->visualRect(window()->model()->index(999, 0));
    QVERIFY(list->viewport()->rect().contains(rect));
    // One frame for the lot: one selection move, one announcement of the new rows.
    QCOMPARE(currentMoves.size(), 1);
    QCOMPARE(announced.size(), 1);
    QCOMPARE(announced.first(), (QVariantList {1, 999}));
    // Everything the frame changed paints together.
    paintWhatIsAskedFor();
    QVERIFY2(counter.paints >= 1 && counter.paints <= 2,
             qPrintable(QString::number(counter.paints)));
    QCOMPARE(announced.size(), 1);
}

void TestKeyReportWindow::clickSelectsAndHeaderClickDoesNothing()
{
    open();
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
    open();
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
    QTRY_COMPARE(table->selectedRows(), QList<int> {1});
}

QTEST_MAIN(TestKeyReportWindow)
#include "tst_keyreportwindow.moc"
