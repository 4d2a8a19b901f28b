#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStyleFactory>
#include <QStyleOption>
#include <QTest>
#include <QTextDocument>

#include <csignal>
#include <cstring>

#include "hexbytetext.h"
#include "keyreportcontroller.h"
#include "keyreportmodel.h"
#include "keyreportwindow.h"
#include "mainwindow.h"
#include "mainwindowlayout.h"
#include "messageboxwatcher.h"
#include "newvalueflash.h"
#include "ptyboard.h"
#include "textfit.h"

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void window();
    void controlsSitAtTheirPlaces_data();
    void controlsSitAtTheirPlaces();
    void everyControlOfTheTableExists();
    void tabOrder();
    void captionsFit_data();
    void captionsFit();
    void returnPressesTheFocusedButton_data();
    void returnPressesTheFocusedButton();
    void labelsNameTheirFields();
    void chaserKeys_data();
    void chaserKeys();
    void escapeStopsTheChaser();
    void colourRoles();
    void clickOnSendReachesTheBoard();
    void messageBoxes_data();
    void messageBoxes();
    void focusLeavesADisabledButtonForTheNextInTabOrder();
    void closingClosesThePort();
    void terminationSignalsCloseLikeTheCloseBox_data();
    void terminationSignalsCloseLikeTheCloseBox();
    void boardBytesReachTheFieldAndTheKeyList();
    void eachReplyShowsAsNew();
    void portEntriesNameTheirAdapter();
    void keyWindowLivesFromAReportUntilItCloses();
    void ctrlTIsTheWindowsShortcutWhileTyping();

private:
    template<typename W = QWidget>
    W *find(const char *name)
    {
        return m_window->findChild<W *>(QLatin1String(name));
    }
    // Checked at each call site: a failed check inside a helper would not stop the test.
    [[nodiscard]] bool openPort()
    {
        find<QComboBox>("cboPort")->setCurrentIndex(0);
        QTest::mouseClick(find<QPushButton>("cmdOpenSerial"), Qt::LeftButton);
        return m_window->controller().serialPort().isOpen();
    }

    std::unique_ptr<PtyBoard> m_board;
    std::unique_ptr<MainWindow> m_window;
};

void TestMainWindow::init()
{
    m_board = std::make_unique<PtyBoard>();
    const QString path = m_board->slavePath();
    m_window = std::make_unique<MainWindow>(
        [path](int n) { return n == 2 ? path : QStringLiteral("/nonexistent/%1").arg(n); });
    m_window->show();
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void TestMainWindow::cleanup()
{
    m_window.reset();
    m_board.reset();
}

void TestMainWindow::window()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Vantrel - V2.3"));
    // The drawn-up size at the font the layout was made for; larger with a larger font.
    if (QFontInfo(m_window->font()).pixelSize() <= MainWindowLayout::designFontPixels)
        QCOMPARE(m_window->size(), QSize(279, 345));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    QCOMPARE(m_window->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
    QCOMPARE(find<QComboBox>("cboPort")->count(), 1);
    QCOMPARE(find<QComboBox>("cboPort")->itemText(0), QStringLiteral("Com2"));
    QCOMPARE(find<QComboBox>("cboPort")->currentIndex(), -1);
    QCOMPARE(find<QComboBox>("cboOperation")->count(), 5);
    QCOMPARE(find<QComboBox>("cboOperation")->itemText(4), QStringLiteral("1xxx:启动延时继电器"));
    QCOMPARE(find<QComboBox>("cboOperation")->currentIndex(), -1);
    QCOMPARE(find<QLineEdit>("txtByteSend")->text(), QStringLiteral("--"));
    QVERIFY(find("txtByteSend2")->isHidden());
    QVERIFY(find("Label7")->isHidden());
    QVERIFY(!m_window->controller().chaser().timer().isActive());
    QCOMPARE(m_window->controller().chaser().timer().interval(), 1000);
    QCOMPARE(m_window->controller().chaser().timer().objectName(), QStringLiteral("Timer1"));
    for (const char *name : {"cmdOpenSerial", "cmdSend", "cmdQuit"}) {
        auto *b = find<QPushButton>(name);
        QVERIFY(!b->isDefault() && !b->autoDefault());
    }
    QCOMPARE(QApplication::focusWidget(), find("cboPort"));
}

void TestMainWindow::controlsSitAtTheirPlaces_data()
{
    // The window as it was drawn up: twips (1/1440 inch) for a 9 pt font at 96 dpi, places in
    // Frame1 measured from the frame.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("inFrame");
    QTest::addColumn<QRect>("twips");
    auto row = [](const char *name, const char *kind, const QString &caption, bool inFrame,
                  QRect twips) {
        QTest::newRow(name) << QString(name) << QString(kind) << caption << inFrame << twips;
    };
    row("Label6", "QLabel", "串口选择", false, {240, 240, 1095, 255});
    row("cboPort", "QComboBox", "", false, {1440, 210, 1215, 315});
    row("Label1", "QLabel", "命令代码", false, {240, 720, 1095, 255});
    row("cboOperation", "QComboBox", "", false, {1440, 690, 2055, 315});
    row("Frame1", "QGroupBox", "通道选择", false, {240, 1200, 3735, 1575});
    row("Label2", "QLabel", "标准通道", true, {360, 480, 855, 255});
    row("cbCh1", "QCheckBox", "CH1", true, {1680, 480, 735, 255});
    row("cbCh2", "QCheckBox", "CH2", true, {2520, 480, 735, 255});
    row("Label3", "QLabel", "扩展通道", true, {360, 960, 855, 255});
    row("cbCh3", "QCheckBox", "CH3", true, {1680, 960, 735, 255});
    row("cbCh4", "QCheckBox", "CH4", true, {2520, 960, 735, 255});
    row("rbCH1", "QRadioButton", "CH1", true, {1680, 480, 615, 255});
    row("rbCH2", "QRadioButton", "CH2", true, {2520, 480, 735, 255});
    row("rbCH3", "QRadioButton", "CH3", true, {1680, 960, 615, 255});
    row("rbCH4", "QRadioButton", "CH4", true, {2520, 960, 615, 255});
    row("Label8", "QLabel", "延迟时间", false, {240, 3000, 1095, 255});
    row("txtDelay", "QLineEdit", "", false, {1440, 2985, 615, 285});
    row("Label9", "QLabel", "秒 (1-255)", false, {2160, 3000, 975, 255});
    row("Label4", "QLabel", "指令代码", false, {240, 3480, 1095, 255});
    row("txtByteSend", "QLineEdit", "--", false, {1440, 3465, 615, 285});
    row("txtByteSend2", "QLineEdit", "0x00", false, {2160, 3465, 615, 285});
    row("Label5", "QLabel", "返回值", false, {240, 3960, 1095, 255});
    row("txtByteRcv", "QLineEdit", "0x00", false, {1440, 3945, 615, 285});
    row("cmdOpenSerial", "QPushButton", "打开串口", false, {480, 4440, 975, 375});
    row("cmdSend", "QPushButton", "发送指令", false, {1560, 4440, 975, 375});
    row("cmdQuit", "QPushButton", "退出", false, {2640, 4440, 975, 375});
    row("Label7", "QLabel", "测试信号已启动 ...", false, {240, 4920, 4095, 255});
}

void TestMainWindow::controlsSitAtTheirPlaces()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(bool, inFrame);
    QFETCH(QRect, twips);

    QWidget *w = m_window->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(QString(w->metaObject()->className()), kind);
    QCOMPARE(w->parentWidget(), inFrame ? find("Frame1") : static_cast<QWidget *>(m_window.get()));
    // 15 twips a pixel at 96 dpi, times how much larger than the drawn-up 12 px the window's
    // font is (never smaller), measured here; a pixel either way for rounding. The size is at
    // least the drawn-up one where the text needs more, and never past the window's right edge
    // unless the text needs that.
    const qreal scale = std::max(1.0, QFontInfo(m_window->font()).pixelSize() / 12.0);
    const auto px = [scale](int t) { return qRound(t / 15.0 * scale); };
    QVERIFY2(std::abs(w->x() - px(twips.x())) <= 1 && std::abs(w->y() - px(twips.y())) <= 1,
             qPrintable(QStringLiteral("at %1,%2, drawn up at %3,%4")
                            .arg(w->x())
                            .arg(w->y())
                            .arg(px(twips.x()))
                            .arg(px(twips.y()))));
    QVERIFY(w->height() >= px(twips.height()) - 1);
    const int room = w->parentWidget()->width() - w->x();
    QVERIFY2(w->width() >= std::min(px(twips.width()) - 1, room),
             qPrintable(QString::number(w->width())));

    QString text;
    if (auto *l = qobject_cast<QLabel *>(w))
        text = l->text();
    else if (auto *b = qobject_cast<QAbstractButton *>(w))
        text = b->text();
    else if (auto *e = qobject_cast<QLineEdit *>(w))
        text = e->text();
    else if (auto *g = qobject_cast<QGroupBox *>(w))
        text = g->title();
    QCOMPARE(text, caption);
}

void TestMainWindow::everyControlOfTheTableExists()
{
    for (const ControlPlace &place : MainWindowLayout::places)
        QVERIFY2(find(place.name), place.name);
}

void TestMainWindow::tabOrder()
{
    const QStringList expected {
        "cboPort",      "cboOperation", "cbCh1",         "cbCh2",   "cbCh3",    "cbCh4",
        "rbCH1",        "rbCH2",        "rbCH3",         "rbCH4",   "txtDelay", "txtByteSend",
        "txtByteSend2", "txtByteRcv",   "cmdOpenSerial", "cmdSend", "cmdQuit"};
    QStringList chain;
    QWidget *w = find("cboPort");
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName();
        w = w->nextInFocusChain();
    } while (w != find("cboPort") && chain.size() < 40);
    QCOMPARE(chain, expected);

    // The Tab key walks it, skipping what is disabled or hidden: closed state.
    QStringList walked;
    for (int i = 0; i < 3; ++i) {
        walked << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(walked, (QStringList {"cboPort", "txtByteSend", "txtByteRcv"}));
}

void TestMainWindow::captionsFit_data()
{
    QTest::addColumn<QString>("style");
    QTest::addColumn<qreal>("fontFactor");
    for (const QString &style : QStyleFactory::keys()) {
        for (const qreal factor : {1.0, 1.25, 1.5})
            QTest::addRow("%s, font x%.2f", qPrintable(style), factor) << style << factor;
    }
}

// Whether each control draws its whole text (every entry of a list, the widest value of a
// field), told by rendering it (see textfit.h); whether the controls stay inside what holds
// them and clear of each other.
void TestMainWindow::captionsFit()
{
    QFETCH(QString, style);
    QFETCH(qreal, fontFactor);
    const QFont appFont = QApplication::font();
    const QString appStyle = QApplication::style()->name();
    const auto restore = qScopeGuard([&] {
        QApplication::setStyle(appStyle);
        QApplication::setFont(appFont);
    });
    QApplication::setStyle(style);
    QFont font = appFont;
    font.setPointSizeF(appFont.pointSizeF() * fontFactor);
    QApplication::setFont(font);
    MainWindow window([](int) { return QString(); });

    const auto check = [&](QWidget *w) {
        const QString name = w->objectName();
        const auto fits = [&](const QString &what, const std::function<void(bool)> &show) {
            const QString problem = TextFit::problem(w, show);
            QVERIFY2(problem.isEmpty(),
                     qPrintable(name + u' ' + what + QStringLiteral(": ") + problem));
        };
        if (auto *c = qobject_cast<QComboBox *>(w)) {
            const QSignalBlocker quiet(c);
            const int current = c->currentIndex();
            for (int i = 0; i < c->count(); ++i)
                fits(c->itemText(i), [&](bool text) { c->setCurrentIndex(text ? i : -1); });
            c->setCurrentIndex(current);
        } else if (auto *e = qobject_cast<QLineEdit *>(w)) {
            // The byte fields show 0x00..0xFF; the delay field up to three digits. The widest
            // of them by the font is rendered.
            const bool delay = name == QLatin1String("txtDelay");
            QString widest;
            for (int v = 0; v < (delay ? 1000 : 256); v += delay ? 111 : 1) {
                const QString t = delay ? QString::number(v) : hexByteText(std::uint8_t(v));
                if (e->fontMetrics().horizontalAdvance(t)
                    > e->fontMetrics().horizontalAdvance(widest))
                    widest = t;
            }
            const QSignalBlocker quiet(e);
            const QString before = e->text();
            fits(widest, [&](bool text) { e->setText(text ? widest : QString()); });
            e->setText(before);
        } else if (auto *g = qobject_cast<QGroupBox *>(w)) {
            // Without its title the frame would close the gap where it was: the title is made
            // invisible instead.
            const QPalette normal = g->palette();
            QPalette invisible = normal;
            invisible.setColor(QPalette::WindowText, Qt::transparent);
            fits(g->title(), [&](bool text) { g->setPalette(text ? normal : invisible); });
            g->setPalette(normal);
        } else if (auto *b = qobject_cast<QAbstractButton *>(w)) {
            const QString caption = b->text();
            fits(caption, [&](bool text) { b->setText(text ? caption : QString()); });
        } else if (auto *l = qobject_cast<QLabel *>(w)) {
            const QString caption = l->text();
            if (!caption.isEmpty())
                fits(caption, [&](bool text) { l->setText(text ? caption : QString()); });
        }
        if (auto *l = qobject_cast<QLabel *>(w))
            QVERIFY2(l->sizeHint().height() <= l->height(), qPrintable(name));
        QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), qPrintable(name));
    };
    for (const ControlPlace &place : MainWindowLayout::places) {
        check(window.findChild<QWidget *>(QLatin1String(place.name)));
        if (QTest::currentTestFailed())
            return;
    }
    // Clear of each other; the check boxes and the option buttons share places by design.
    const auto sharesByDesign = [](const QString &a, const QString &b) {
        const auto isCheck = [](const QString &n) { return n.startsWith(QLatin1String("cbCh")); };
        const auto isOption = [](const QString &n) { return n.startsWith(QLatin1String("rbCH")); };
        return (isCheck(a) && isOption(b)) || (isOption(a) && isCheck(b));
    };
    for (const ControlPlace &a : MainWindowLayout::places) {
        for (const ControlPlace &b : MainWindowLayout::places) {
            if (std::strcmp(a.name, b.name) >= 0 || a.inFrame != b.inFrame
                || !std::strcmp(a.name, "Frame1") || !std::strcmp(b.name, "Frame1"))
                continue;
            if (sharesByDesign(QLatin1String(a.name), QLatin1String(b.name)))
                continue;
            const QRect ra = window.findChild<QWidget *>(QLatin1String(a.name))->geometry();
            const QRect rb = window.findChild<QWidget *>(QLatin1String(b.name))->geometry();
            QVERIFY2(!ra.intersects(rb),
                     qPrintable(QStringLiteral("%1 and %2").arg(a.name, b.name)));
        }
    }
    // The frame is clear of the window's own controls.
    const QRect frame = window.findChild<QWidget *>(QStringLiteral("Frame1"))->geometry();
    for (const ControlPlace &p : MainWindowLayout::places) {
        if (!p.inFrame && std::strcmp(p.name, "Frame1"))
            QVERIFY2(
                !frame.intersects(window.findChild<QWidget *>(QLatin1String(p.name))->geometry()),
                p.name);
    }
}

void TestMainWindow::returnPressesTheFocusedButton_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
}

void TestMainWindow::returnPressesTheFocusedButton()
{
    QFETCH(int, key);
    find<QComboBox>("cboPort")->setCurrentIndex(0);
    auto *open = find<QPushButton>("cmdOpenSerial");
    open->setFocus();
    QTest::keyClick(open, Qt::Key(key));
    QVERIFY(m_window->controller().serialPort().isOpen());

    // Return in a field presses no button: none of them is a default button.
    auto *operation = find<QComboBox>("cboOperation");
    operation->setCurrentIndex(1);
    emit operation->activated(1);
    QTest::mouseClick(find<QCheckBox>("cbCh1"), Qt::LeftButton);
    find("txtByteRcv")->setFocus();
    QTest::keyClick(find("txtByteRcv"), Qt::Key(key));
    QCOMPARE(m_board->drain(), QByteArray());
    find("cmdSend")->setFocus();
    QTest::keyClick(find("cmdSend"), Qt::Key(key));
    QCOMPARE(m_board->receive(1), QByteArray("\x11"));
    for (const char *name : {"cmdOpenSerial", "cmdSend", "cmdQuit"})
        QVERIFY(!find<QPushButton>(name)->isDefault());
}

void TestMainWindow::labelsNameTheirFields()
{
    const std::pair<const char *, const char *> named[] = {
        {"cboPort", "串口选择"},     {"cboOperation", "命令代码"}, {"txtDelay", "延迟时间"},
        {"txtByteSend", "指令代码"}, {"txtByteRcv", "返回值"},
    };
    for (const auto &[field, label] : named) {
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(find(field));
        QVERIFY(a);
        QCOMPARE(a->text(QAccessible::Name), QString::fromUtf8(label));
    }
    // The second byte shares the label of the first.
    QAccessibleInterface *second = QAccessible::queryAccessibleInterface(find("txtByteSend2"));
    QVERIFY(second->text(QAccessible::Name).startsWith(QStringLiteral("指令代码")));
    for (const char *label : {"Label6", "Label1", "Label8", "Label4", "Label5"})
        QVERIFY2(find<QLabel>(label)->buddy(), label);

    // A choice made, the lists keep their labels' names; the chosen text is their value.
    QVERIFY(openPort());
    find<QComboBox>("cboOperation")->setCurrentIndex(1);
    const std::pair<const char *, const char *> chosen[] = {
        {"cboPort", "串口选择"},
        {"cboOperation", "命令代码"},
    };
    for (const auto &[field, label] : chosen) {
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(find(field));
        QCOMPARE(a->text(QAccessible::Name), QString::fromUtf8(label));
        QCOMPARE(a->text(QAccessible::Value), find<QComboBox>(field)->currentText());
        QVERIFY(!a->text(QAccessible::Value).isEmpty());
        QCOMPARE(a->role(), QAccessible::ComboBox);
        QCOMPARE(a->childCount(), 1); // the open list
    }
}

void TestMainWindow::chaserKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("focus"); // the control with the focus
    QTest::addColumn<bool>("starts");
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("Ctrl+T on the send button") << int(Qt::Key_T) << ctrl << "cmdSend" << true;
    QTest::newRow("Ctrl+T in the delay field") << int(Qt::Key_T) << ctrl << "txtDelay" << true;
    QTest::newRow("Ctrl+T on the command list") << int(Qt::Key_T) << ctrl << "cboOperation" << true;
    QTest::newRow("Ctrl+Shift+T") << int(Qt::Key_T) << int(ctrl | Qt::ShiftModifier) << "cmdSend"
                                  << true;
    QTest::newRow("Ctrl+Alt+T") << int(Qt::Key_T) << int(ctrl | Qt::AltModifier) << "cmdSend"
                                << true;
    QTest::newRow("T alone") << int(Qt::Key_T) << 0 << "cmdSend" << false;
    QTest::newRow("Shift+T") << int(Qt::Key_T) << int(Qt::ShiftModifier) << "cmdSend" << false;
    QTest::newRow("Ctrl+R") << int(Qt::Key_R) << ctrl << "cmdSend" << false;
}

void TestMainWindow::chaserKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, focus);
    QFETCH(bool, starts);
    QVERIFY(openPort());
    m_window->controller().chooseOperation(4); // the delay field takes keys
    QWidget *target = find(qPrintable(focus));
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(m_window->controller().chaser().isRunning(), starts);
    QCOMPARE(m_board->drain(), QByteArray()); // the first step comes with the first tick
}

void TestMainWindow::escapeStopsTheChaser()
{
    QVERIFY(openPort());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_T, Qt::ControlModifier);
    QVERIFY(m_window->controller().chaser().timer().isActive());
    m_window->controller().chaser().tick();
    QCOMPARE(m_board->receive(1), QByteArray("\x01"));
    QVERIFY(find("Label7")->isVisible());

    QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : m_window.get(),
                    Qt::Key_Escape);
    QVERIFY(!m_window->controller().chaser().timer().isActive());
    QVERIFY(find("Label7")->isHidden());
    QVERIFY(find("cmdSend")->isEnabled());
    QVERIFY(find("cboOperation")->isEnabled());
    QCOMPARE(m_board->drain(), QByteArray());

    // Escape that stops the chaser also cancels a button held down with Space, as Escape does
    // without the chaser: letting Space go then presses nothing.
    auto *quit = find<QPushButton>("cmdQuit");
    quit->setFocus();
    QSignalSpy clicked(quit, &QPushButton::clicked);
    QTest::keyClick(quit, Qt::Key_T, Qt::ControlModifier);
    QVERIFY(m_window->controller().chaser().isRunning());
    QTest::keyPress(quit, Qt::Key_Space);
    QVERIFY(quit->isDown());
    QTest::keyClick(quit, Qt::Key_Escape);
    QVERIFY(!m_window->controller().chaser().isRunning());
    QVERIFY(!quit->isDown());
    QTest::keyRelease(quit, Qt::Key_Space);
    QCOMPARE(clicked.size(), 0);
    QVERIFY(m_window->isVisible());
}

void TestMainWindow::colourRoles()
{
    const QPalette app = QApplication::palette();
    auto base = [&](const char *name) { return find(name)->palette().color(QPalette::Base); };
    QCOMPARE(base("txtDelay"), app.color(QPalette::Window));
    // The byte fields take the tooltip pair, background and text, readable under any theme.
    for (const char *name : {"txtByteSend", "txtByteSend2", "txtByteRcv"}) {
        QCOMPARE(base(name), app.color(QPalette::ToolTipBase));
        QCOMPARE(find(name)->palette().color(QPalette::Text), app.color(QPalette::ToolTipText));
    }
    QCOMPARE(find("Label7")->palette().color(QPalette::WindowText), app.color(QPalette::Highlight));

    QVERIFY(openPort());
    auto *operation = find<QComboBox>("cboOperation");
    operation->setFocus();
    QTest::keyClick(operation, Qt::Key_End); // the operator picks the last entry by keyboard
    QCOMPARE(operation->currentIndex(), 4);
    QVERIFY(find("txtDelay")->isEnabled());
    QCOMPARE(base("txtDelay"), app.color(QPalette::Base));
    QVERIFY(!find("rbCH1")->isHidden());
    QVERIFY(find("cbCh1")->isHidden());
}

void TestMainWindow::clickOnSendReachesTheBoard()
{
    QVERIFY(openPort());
    auto *operation = find<QComboBox>("cboOperation");
    operation->setFocus();
    QTest::keyClick(operation, Qt::Key_Down); // entry 0
    QTest::keyClick(operation, Qt::Key_Down); // entry 1: energise
    QTest::mouseClick(find<QCheckBox>("cbCh1"), Qt::LeftButton);
    QTest::mouseClick(find<QCheckBox>("cbCh3"), Qt::LeftButton);
    QCOMPARE(find<QLineEdit>("txtByteSend")->text(), QStringLiteral("0x15"));
    QTest::mouseClick(find<QPushButton>("cmdSend"), Qt::LeftButton);
    QCOMPARE(m_board->receive(1), QByteArray("\x15"));

    // The delay command, typed into the field.
    QTest::keyClick(operation, Qt::Key_End);
    QTest::mouseClick(find<QRadioButton>("rbCH2"), Qt::LeftButton);
    QTest::keyClicks(find<QLineEdit>("txtDelay"), QStringLiteral("200"));
    QCOMPARE(find<QLineEdit>("txtByteSend")->text(), QStringLiteral("0xF1"));
    QCOMPARE(find<QLineEdit>("txtByteSend2")->text(), QStringLiteral("0xA1"));
    QVERIFY(!find("txtByteSend2")->isHidden());
    QTest::mouseClick(find<QPushButton>("cmdSend"), Qt::LeftButton);
    QCOMPARE(m_board->receive(2), QByteArray("\xF1\xA1"));
}

void TestMainWindow::messageBoxes_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("open");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("focusAfter");
    QTest::newRow("open without a port")
        << "cmdOpenSerial" << false << "请选择串口。" << int(QMessageBox::Information) << "cboPort";
    QTest::newRow("send without a command") << "cmdSend" << true << "请选择命令代码。"
                                            << int(QMessageBox::Information) << "cboOperation";
}

void TestMainWindow::messageBoxes()
{
    QFETCH(QString, button);
    QFETCH(bool, open);
    QFETCH(QString, text);
    QFETCH(int, icon);
    QFETCH(QString, focusAfter);

    if (open)
        QVERIFY(openPort());
    MessageBoxWatcher watcher;
    QTest::mouseClick(m_window->findChild<QPushButton *>(button), Qt::LeftButton);
    QCOMPARE(watcher.seen.size(), 1);
    const auto &box = watcher.seen.first();
    QCOMPARE(box.title, QStringLiteral("Korvia"));
    QCOMPARE(box.text, text);
    QCOMPARE(int(box.icon), icon);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.modality, Qt::ApplicationModal);
    QTRY_COMPARE(m_window->focusWidget()->objectName(), focusAfter);
}

void TestMainWindow::focusLeavesADisabledButtonForTheNextInTabOrder()
{
    find<QComboBox>("cboPort")->setCurrentIndex(0);
    auto *open = find<QPushButton>("cmdOpenSerial");
    open->setFocus();
    QTest::keyClick(open, Qt::Key_Space);
    QVERIFY(!open->isEnabled());
    QCOMPARE(QApplication::focusWidget(), find("cmdSend"));

    // The device goes away while the focus is on send: the window says so at once and the
    // disabled send button hands the focus on.
    MessageBoxWatcher watcher;
    m_board->closeMaster();
    QTRY_COMPARE(watcher.seen.size(), 1);
    QCOMPARE(watcher.seen[0].text, QStringLiteral("串口未被正常打开。"));
    QCOMPARE(int(watcher.seen[0].icon), int(QMessageBox::Warning));
    QVERIFY(!m_window->controller().serialPort().isOpen());
    QVERIFY(!find("cmdSend")->isEnabled());
    QVERIFY(open->isEnabled());
    QTRY_COMPARE(m_window->focusWidget(), find("cmdQuit"));
}

void TestMainWindow::closingClosesThePort()
{
    QVERIFY(openPort());
    QTest::mouseClick(find<QPushButton>("cmdQuit"), Qt::LeftButton);
    QVERIFY(!m_window->isVisible());
    QVERIFY(!m_window->controller().serialPort().isOpen());
}

void TestMainWindow::terminationSignalsCloseLikeTheCloseBox_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("duringMessage");
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        QTest::addRow("%s", strsignal(number)) << number << false;
        QTest::addRow("%s while a message box is up", strsignal(number)) << number << true;
    }
}

void TestMainWindow::terminationSignalsCloseLikeTheCloseBox()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, duringMessage);
    QVERIFY(openPort());
    QVERIFY(m_board->send(QByteArray::fromHex("5300ff12ed"))); // a key report: the key window opens
    QTRY_VERIFY(m_window->keyReportWindow());

    if (duringMessage) {
        // Send without a command shows a modal box; the signal comes while it waits.
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            if (QApplication::activeModalWidget()) {
                poll.stop();
                ::raise(signalNumber);
            }
        });
        poll.start();
        QTest::mouseClick(find<QPushButton>("cmdSend"), Qt::LeftButton);
    } else {
        ::raise(signalNumber);
    }
    QTRY_VERIFY(!m_window->isVisible());
    QVERIFY(!QApplication::activeModalWidget());
    QTRY_VERIFY(!m_window->keyReportWindow());
    QVERIFY(!m_window->controller().serialPort().isOpen());
    // The line is free for the next program at once.
    SerialPortService next([this](int) { return m_board->slavePath(); });
    QCOMPARE(next.openPort(1), OpenResult::Ok);
}

void TestMainWindow::boardBytesReachTheFieldAndTheKeyList()
{
    QVERIFY(openPort());
    // The operator is at the command list when the reports come in.
    auto *operation = find<QComboBox>("cboOperation");
    operation->setFocus();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QCOMPARE(QApplication::focusWidget(), operation);

    QVERIFY(m_board->send("\x07"));
    QTRY_COMPARE(find<QLineEdit>("txtByteRcv")->text(), QStringLiteral("0x07"));
    QCOMPARE(m_window->keyReportWindow(), nullptr);

    QVERIFY(m_board->send(QByteArray("\x53\x00\xFF\x12\xED\x4C\x01\x02\x03\x04\x09", 11)));
    QTRY_COMPARE(find<QLineEdit>("txtByteRcv")->text(), QStringLiteral("0x09"));
    auto *ir = m_window->keyReportWindow();
    QVERIFY(ir);
    QVERIFY(ir->isVisible());
    QCOMPARE(ir->model()->rowCount(), 2);
    QCOMPARE(ir->model()->message(0), (IrKeyMessage {PressKind::Short, 0x00, 0xFF, 0x12, 0xED}));
    QCOMPARE(ir->model()->data(ir->model()->index(1, 0), Qt::DisplayRole).toString(),
             QStringLiteral("长按"));

    // The report takes no keyboard from the operator: the key window asks the window system
    // not to activate it, and the main window keeps its focused control. Which window the
    // platform then makes active is its own business (the offscreen platform activates every
    // window it shows, at a moment of its choosing), so that is not what is checked here.
    QVERIFY(ir->testAttribute(Qt::WA_ShowWithoutActivating));
    QCOMPARE(m_window->focusWidget(), operation);
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QCOMPARE(QApplication::focusWidget(), operation);

    // Closing the main window takes the key list with it.
    QPointer<KeyReportWindow> irWindow = ir;
    m_window->close();
    QVERIFY(!irWindow || !irWindow->isVisible());
    QCOMPARE(m_window->keyReportWindow(), nullptr);
    QTRY_VERIFY(irWindow.isNull()); // it deletes itself on closing
}

void TestMainWindow::portEntriesNameTheirAdapter()
{
    auto *ports = find<QComboBox>("cboPort");
    // The real list first: the pty behind Com2 is known by its path only.
    const QString pty = QFileInfo(m_board->slavePath()).canonicalFilePath();
    QCOMPARE(ports->itemData(0, Qt::AccessibleDescriptionRole).toString(), "设备：" + pty);

    // Names from a device reach the tooltip as text, never as markup.
    const QString adapter = QStringLiteral("适配器：<b>Bridge</b> & co\n设备：/dev/ttyUSB0");
    emit m_window->controller().portsListed({"Com5", "Com6"}, 1, {adapter, "设备：/dev/ttyUSB1"});
    QCOMPARE(ports->count(), 2);
    QCOMPARE(ports->itemData(0, Qt::AccessibleDescriptionRole).toString(), adapter);
    const QString tip = ports->itemData(0, Qt::ToolTipRole).toString();
    QVERIFY2(tip.contains("&lt;b&gt;Bridge&lt;/b&gt; &amp; co") && !tip.contains("<b>"),
             qPrintable(tip));
    QTextDocument shown;
    shown.setHtml(tip);
    // Line by line, as written; long lines may break after separators (zero-width spaces).
    QCOMPARE(shown.toPlainText().remove(QChar(0x200B)), adapter);
    // Closed, the list tells the chosen entry's adapter.
    QCOMPARE(ports->accessibleDescription(), "设备：/dev/ttyUSB1");
    ports->setCurrentIndex(0);
    QCOMPARE(ports->accessibleDescription(), adapter);
    QCOMPARE(ports->toolTip(), tip);

    // A by-id name of 255 characters wraps in the tooltip (as the tooltip label lays it out:
    // rich text, word wrap) instead of running off the screen; the description stays as it is.
    const QString byId = QStringLiteral("固定名称：/dev/serial/by-id/usb-")
        + QStringLiteral("Vantrel_USB-Serial_Bridge_A7K3Q9").repeated(7) + QStringLiteral("-if00");
    emit m_window->controller().portsListed({"Com5"}, 0, {byId});
    QCOMPARE(ports->itemData(0, Qt::AccessibleDescriptionRole).toString(), byId);
    QLabel tipLabel;
    tipLabel.setWordWrap(true);
    tipLabel.setText(ports->itemData(0, Qt::ToolTipRole).toString());
    const int oneLine = tipLabel.fontMetrics().horizontalAdvance(byId);
    QVERIFY2(tipLabel.sizeHint().width() < oneLine / 2,
             qPrintable(QStringLiteral("%1 px wide, the line is %2 px")
                            .arg(tipLabel.sizeHint().width())
                            .arg(oneLine)));
}

void TestMainWindow::eachReplyShowsAsNew()
{
    // The offscreen platform has no accessibility bridge, so Qt drops the announcement itself
    // before any handler could see it; it goes out with `flashed`, which is watched here.
    QVERIFY(openPort());
    auto *received = find<QLineEdit>("txtByteRcv");
    NewValueFlash *flash = m_window->replyFlash();
    QSignalSpy flashed(flash, &NewValueFlash::flashed);
    QSignalSpy lit(flash, &NewValueFlash::litChanged);
    const QPalette app = QApplication::palette();
    // How the field looks at each new value (later it may have gone back already).
    struct Look
    {
        bool lit;
        QColor base;
        QColor text;
    };
    QList<Look> looks;
    connect(flash, &NewValueFlash::flashed, this, [&] {
        looks.append({flash->isLit(), received->palette().color(QPalette::Base),
                      received->palette().color(QPalette::Text)});
    });

    // The state asked for, then the same byte again unasked.
    ConsoleController &c = m_window->controller();
    c.chooseOperation(int(RelayOperation::ReadState));
    c.setChannel(0, true);
    c.send();
    QCOMPARE(m_board->receive(1), QByteArray("\x31"));
    QVERIFY(m_board->send("\x05"));
    QVERIFY(flashed.wait(5000));
    QCOMPARE(received->text(), QStringLiteral("0x05"));
    QCOMPARE(received->toolTip(), QStringLiteral("吸合：CH1、CH3"));
    QCOMPARE(received->accessibleDescription(), QStringLiteral("吸合：CH1、CH3"));
    QAccessibleInterface *a = QAccessible::queryAccessibleInterface(received);
    QCOMPARE(a->text(QAccessible::Description), QStringLiteral("吸合：CH1、CH3"));

    QVERIFY(m_board->send("\x05"));
    QVERIFY(flashed.wait(5000));
    QCOMPARE(received->text(), QStringLiteral("0x05"));
    QCOMPARE(flashed.size(), 2); // new again, with the same value
    for (const Look &look : looks) {
        QVERIFY(look.lit);
        QCOMPARE(look.base, app.color(QPalette::Highlight));
        QCOMPARE(look.text, app.color(QPalette::HighlightedText));
    }
    QCOMPARE(received->toolTip(), QString()); // not an answer to the read-state command
    QCOMPARE(received->accessibleDescription(), QString());

    // The moment passes: the theme's tooltip pair again.
    QTRY_VERIFY(!flash->isLit());
    QCOMPARE(lit.last().first().toBool(), false);
    QCOMPARE(received->palette().color(QPalette::Base), app.color(QPalette::ToolTipBase));
    QCOMPARE(received->palette().color(QPalette::Text), app.color(QPalette::ToolTipText));
    QCOMPARE(flashed.size(), 2);
}

void TestMainWindow::keyWindowLivesFromAReportUntilItCloses()
{
    KeyReportController &reports = m_window->controller().keyReports();
    const IrKeyMessage first {PressKind::Short, 0x00, 0xFF, 0x12, 0xED};
    const IrKeyMessage second {PressKind::Long, 0x01, 0x02, 0x03, 0x04};
    QCOMPARE(m_window->keyReportWindow(), nullptr);

    reports.addReport(first);
    QPointer<KeyReportWindow> shown = m_window->keyReportWindow();
    QVERIFY(shown);
    QVERIFY(shown->isVisible());
    reports.addReport(second);
    QCOMPARE(m_window->keyReportWindow(), shown.data()); // one window for both
    QCOMPARE(shown->model()->rowCount(), 2);

    // Its menu empties the list and keeps the window.
    shown->emptyListAction()->trigger();
    QCOMPARE(reports.model()->rowCount(), 0);
    QCOMPARE(m_window->keyReportWindow(), shown.data());

    // Closing it discards its rows; the next report opens a new window with only itself.
    reports.addReport(first);
    shown->close();
    QCOMPARE(m_window->keyReportWindow(), nullptr);
    QCOMPARE(reports.model()->rowCount(), 0);
    QTRY_VERIFY(shown.isNull());
    reports.addReport(second);
    shown = m_window->keyReportWindow();
    QVERIFY(shown);
    QVERIFY(shown->isVisible());
    QCOMPARE(shown->model()->rowCount(), 1);
    QCOMPARE(shown->model()->message(0), second);

    // Hidden (minimised to nothing by a window manager, say), it shows again on a report.
    shown->hide();
    reports.addReport(first);
    QVERIFY(shown->isVisible());
    QCOMPARE(shown->model()->rowCount(), 2);
}

namespace {
// Counts the presses of T that reach a widget.
class KeyCounter : public QObject
{
public:
    int presses = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress
            && static_cast<QKeyEvent *>(event)->key() == Qt::Key_T)
            ++presses;
        return false;
    }
};
} // namespace

void TestMainWindow::ctrlTIsTheWindowsShortcutWhileTyping()
{
    auto *delay = find<QLineEdit>("txtDelay");
    KeyCounter reached;
    delay->installEventFilter(&reached);

    // Closed state: nothing starts.
    QTest::keyClick(m_window.get(), Qt::Key_T, Qt::ControlModifier);
    QVERIFY(!m_window->controller().testRunning());

    QVERIFY(openPort());
    auto *operation = find<QComboBox>("cboOperation");
    operation->setFocus();
    QTest::keyClick(operation, Qt::Key_End); // the delay command: txtDelay becomes usable
    delay->setFocus();
    QCOMPARE(QApplication::focusWidget(), delay);

    QTest::keyClick(delay, Qt::Key_T); // T alone is typing, not a command
    QVERIFY(!m_window->controller().testRunning());
    QCOMPARE(delay->text(), QStringLiteral("t"));

    QTest::keyClick(delay, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(m_window->controller().testRunning());
    QCOMPARE(reached.presses, 1); // the shortcut takes it; the field does nothing with it anyway
    QCOMPARE(delay->text(), QStringLiteral("t"));
    QVERIFY(m_window->controller().chaser().timer().isActive());
    QCOMPARE(m_window->controller().chaser().timer().interval(), 1000);
    QVERIFY(!find("cmdSend")->isEnabled());
    QVERIFY(!operation->isEnabled());
    QVERIFY(delay->isEnabled());

    // The first tick writes CH1 on and shows the label.
    QCOMPARE(m_board->receive(1, std::chrono::seconds(3)), QByteArray("\x01"));
    QVERIFY(!find("Label7")->isHidden());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
