#include "mainwindow.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

#include "appicons.h"
#include "comboboxaccessible.h"
#include "hexbytetext.h"
#include "keyreportwindow.h"
#include "mainwindowlayout.h"
#include "newvalueflash.h"
#include "version.h"

namespace {

template<typename W>
W *control(QWidget *parent, const char *name)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    return w;
}

QLabel *label(QWidget *parent, const char *name, const QString &text, QWidget *field = nullptr)
{
    auto *l = control<QLabel>(parent, name);
    l->setText(text);
    // The label names its field, for screen readers as well.
    if (field) {
        l->setBuddy(field);
        field->setAccessibleName(text);
    }
    return l;
}

void setBaseRole(QWidget *w, QPalette::ColorRole from)
{
    QPalette palette = w->palette();
    palette.setBrush(QPalette::Base, QApplication::palette().brush(from)); // every colour group
    w->setPalette(palette);
}

// The byte fields look like tooltips. Background and text come as the theme's pair: a
// tooltip background under the normal text colour is unreadable under a dark theme.
void setTooltipColours(QLineEdit *w)
{
    QPalette palette = w->palette();
    const QPalette app = QApplication::palette();
    palette.setBrush(QPalette::Base, app.brush(QPalette::ToolTipBase));
    palette.setBrush(QPalette::Text, app.brush(QPalette::ToolTipText));
    w->setPalette(palette);
}

// A tooltip that shows `text` as it is, line by line: names from devices and file names could
// otherwise be taken for markup. A long line wraps: udev's by-id names run to 255 characters
// without a space, so they may also break after their separators (a zero-width space there).
QString plainToolTip(const QString &text)
{
    if (text.isEmpty())
        return {};
    static const QRegularExpression separator(QStringLiteral("([-_/.:])"));
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        const bool longLine = line.size() > 60;
        line = line.toHtmlEscaped();
        if (longLine)
            line.replace(separator, QStringLiteral("\\1&#8203;"));
    }
    return QStringLiteral("<p style='white-space:pre-wrap'>%1</p>")
        .arg(lines.join(QLatin1Char('\n')));
}

// How much wider than now `w` has to be for its text to fit where the style draws it.
int textDeficit(QWidget *w)
{
    const QFontMetrics fm = w->fontMetrics();
    QStyle *style = w->style();
    if (auto *button = qobject_cast<QPushButton *>(w)) {
        QStyleOptionButton opt;
        opt.initFrom(button);
        opt.text = button->text();
        const QRect text = style->subElementRect(QStyle::SE_PushButtonContents, &opt, button);
        // The label is drawn with the button's margin on either side of the text.
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &opt, button);
        return fm.horizontalAdvance(button->text()) + margin - text.width();
    }
    if (qobject_cast<QCheckBox *>(w) || qobject_cast<QRadioButton *>(w)) {
        auto *button = static_cast<QAbstractButton *>(w);
        QStyleOptionButton opt;
        opt.initFrom(button);
        opt.text = button->text();
        const bool check = qobject_cast<QCheckBox *>(w);
        const QRect text = style->subElementRect(
            check ? QStyle::SE_CheckBoxContents : QStyle::SE_RadioButtonContents, &opt, button);
        // Contents include a small gap before the text.
        return fm.horizontalAdvance(button->text()) + 4 - text.width();
    }
    if (auto *combo = qobject_cast<QComboBox *>(w)) {
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i)
            widest = std::max(widest, fm.horizontalAdvance(combo->itemText(i)));
        QStyleOptionComboBox opt;
        opt.initFrom(combo);
        opt.editable = false;
        opt.frame = true;
        const QRect field
            = style->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo);
        return widest + 4 - field.width();
    }
    if (auto *edit = qobject_cast<QLineEdit *>(w)) {
        // The byte fields show 0x00..0xFF, the delay field up to three digits; QLineEdit keeps
        // 2 pixels inside its frame on each side.
        const bool delay = edit->objectName() == QLatin1String("txtDelay");
        int widest = 0;
        for (int v = 0; v < (delay ? 1000 : 256); v += delay ? 111 : 1)
            widest = std::max(
                widest,
                fm.horizontalAdvance(delay ? QString::number(v) : hexByteText(std::uint8_t(v))));
        QStyleOptionFrame opt;
        opt.initFrom(edit);
        opt.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit);
        const QRect field = style->subElementRect(QStyle::SE_LineEditContents, &opt, edit);
        return widest + 4 + edit->textMargins().left() + edit->textMargins().right()
            - field.width();
    }
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->sizeHint().width() - label->width();
    return 0;
}

} // namespace

MainWindow::MainWindow(ComPorts::PortMap portMap, QWidget *parent)
    : QWidget(parent,
              Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                  | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                  | Qt::WindowCloseButtonHint)
    , m_controller(std::move(portMap))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(tr("Vantrel - V%1").arg(QLatin1String(RELAY_CONSOLE_VERSION)));
    setWindowIcon(QIcon(AppIcons::application()));
    ComboBoxAccessible::install();
    buildControls();
    placeControls();
    connectOperatorActions();
    connectController();
    connectShortcuts();
    m_controller.start();
}

MainWindow::~MainWindow()
{
    qApp->removeEventFilter(this);
    delete m_keyReportWindow.data();
}

void MainWindow::buildControls()
{
    m_cboPort = control<QComboBox>(this, "cboPort");
    label(this, "Label6", tr("串口选择"), m_cboPort);
    m_cboOperation = control<QComboBox>(this, "cboOperation");
    label(this, "Label1", tr("命令代码"), m_cboOperation);
    for (int i = 0; i <= ConsoleController::delayOperation; ++i)
        m_cboOperation->addItem(relayOperationText(RelayOperation(i)));
    m_cboOperation->setCurrentIndex(-1);

    m_channelFrame = control<QGroupBox>(this, "Frame1");
    m_channelFrame->setTitle(tr("通道选择"));
    label(m_channelFrame, "Label2", tr("标准通道"));
    label(m_channelFrame, "Label3", tr("扩展通道"));
    // The check boxes (relay commands) and the option buttons (delay command) share places;
    // only one set is visible at a time.
    static const char *const checkNames[] = {"cbCh1", "cbCh2", "cbCh3", "cbCh4"};
    static const char *const optionNames[] = {"rbCH1", "rbCH2", "rbCH3", "rbCH4"};
    for (int i = 0; i < RelayState::channels; ++i) {
        const QString caption = QStringLiteral("CH%1").arg(i + 1);
        m_channelBoxes[i] = control<QCheckBox>(m_channelFrame, checkNames[i]);
        m_channelBoxes[i]->setText(caption);
        m_delayChannelButtons[i] = control<QRadioButton>(m_channelFrame, optionNames[i]);
        m_delayChannelButtons[i]->setText(caption);
        m_delayChannelButtons[i]->hide();
    }
    m_delayChannelButtons[0]->setChecked(true);

    m_txtDelay = control<QLineEdit>(this, "txtDelay");
    label(this, "Label8", tr("延迟时间"), m_txtDelay);
    m_txtDelay->setEnabled(false);
    setBaseRole(m_txtDelay, QPalette::Window);
    label(this, "Label9", tr("秒 (1-255)"));

    m_txtByteSend = control<QLineEdit>(this, "txtByteSend");
    label(this, "Label4", tr("指令代码"), m_txtByteSend);
    m_txtByteSend2 = control<QLineEdit>(this, "txtByteSend2");
    m_txtByteSend2->setAccessibleName(tr("指令代码（第二字节）"));
    m_txtByteRcv = control<QLineEdit>(this, "txtByteRcv");
    label(this, "Label5", tr("返回值"), m_txtByteRcv);
    for (QLineEdit *field : {m_txtByteSend, m_txtByteSend2, m_txtByteRcv}) {
        field->setReadOnly(true);
        field->setText(QStringLiteral("0x00"));
        setTooltipColours(field);
    }
    m_txtByteSend2->hide();
    // Each reply shows as new, the same value again too.
    m_replyFlash = new NewValueFlash(m_txtByteRcv, setTooltipColours);

    m_cmdOpenSerial = control<QPushButton>(this, "cmdOpenSerial");
    m_cmdOpenSerial->setText(tr("打开串口"));
    m_cmdSend = control<QPushButton>(this, "cmdSend");
    m_cmdSend->setText(tr("发送指令"));
    m_cmdSend->setEnabled(false);
    m_cmdQuit = control<QPushButton>(this, "cmdQuit");
    m_cmdQuit->setText(tr("退出"));
    for (QPushButton *button : {m_cmdOpenSerial, m_cmdSend, m_cmdQuit}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    m_chaserLabel = label(this, "Label7", tr("测试信号已启动 ..."));
    QPalette highlight = m_chaserLabel->palette();
    highlight.setBrush(QPalette::WindowText, QApplication::palette().brush(QPalette::Highlight));
    m_chaserLabel->setPalette(highlight);
    m_chaserLabel->hide();

    // Labels and the frame take no focus; the rest in this order.
    const QList<QWidget *> tabOrder {m_cboPort,
                                     m_cboOperation,
                                     m_channelBoxes[0],
                                     m_channelBoxes[1],
                                     m_channelBoxes[2],
                                     m_channelBoxes[3],
                                     m_delayChannelButtons[0],
                                     m_delayChannelButtons[1],
                                     m_delayChannelButtons[2],
                                     m_delayChannelButtons[3],
                                     m_txtDelay,
                                     m_txtByteSend,
                                     m_txtByteSend2,
                                     m_txtByteRcv,
                                     m_cmdOpenSerial,
                                     m_cmdSend,
                                     m_cmdQuit};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void MainWindow::placeControls()
{
    // Every control at its place, grown with the font; a control whose text still does not
    // fit grows to the right, and the frame and the client area grow to hold what is in them.
    using namespace MainWindowLayout;
    const qreal scale = fontScale(QFontInfo(font()).pixelSize());
    const QRect client = scaled(QRect(QPoint(0, 0), clientTwips), scale);
    QSize frameNeeds;
    QSize clientNeeds = client.size();
    // The frame's children first: the frame has to hold them.
    for (const bool inFrame : {true, false}) {
        for (const ControlPlace &place : places) {
            if (place.inFrame != inFrame)
                continue;
            auto *w = findChild<QWidget *>(QLatin1String(place.name));
            QRect r = scaled(place.twips, scale);
            if (w == m_channelFrame)
                r.setSize(r.size().expandedTo(frameNeeds));
            // Never past the right edge of what holds it unless its text needs that.
            const int room
                = (inFrame ? scaled(MainWindowLayout::place("Frame1").twips, scale).width()
                           : client.width())
                - r.x();
            if (r.width() > room)
                r.setWidth(room);
            const int minimumHeight = qobject_cast<QLabel *>(w) ? w->sizeHint().height()
                                                                : w->minimumSizeHint().height();
            r.setHeight(std::max(r.height(), minimumHeight));
            w->setGeometry(r);
            if (const int more = textDeficit(w); more > 0)
                w->setGeometry(r.adjusted(0, 0, more, 0));
            const QRect placed = w->geometry();
            const int margin = qRound(twips(120) * scale);
            if (inFrame)
                frameNeeds = frameNeeds.expandedTo(
                    QSize(placed.right() + 1 + margin, placed.bottom() + 1 + margin));
            else if (placed.right() >= client.width())
                clientNeeds = clientNeeds.expandedTo(QSize(placed.right() + 1 + margin, 0));
        }
    }
    setFixedSize(clientNeeds);
}

void MainWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        placeControls();
}

void MainWindow::connectOperatorActions()
{
    ConsoleController *c = &m_controller;
    connect(m_cboPort, &QComboBox::currentIndexChanged, c, &ConsoleController::choosePort);
    connect(m_cboPort, &QComboBox::currentIndexChanged, this, &MainWindow::showPortAdapter);
    // "Chosen" means by the operator, with the mouse or the keyboard, not set by the program.
    connect(m_cboOperation, &QComboBox::activated, c, &ConsoleController::chooseOperation);
    for (int i = 0; i < RelayState::channels; ++i) {
        connect(m_channelBoxes[i], &QCheckBox::toggled, c,
                [c, i](bool on) { c->setChannel(i, on); });
        // Arrow keys move the selection without a click; follow the newly selected button.
        connect(m_delayChannelButtons[i], &QRadioButton::toggled, c, [c, i](bool on) {
            if (on)
                c->chooseDelayChannel(i);
        });
    }
    connect(m_txtDelay, &QLineEdit::textChanged, c, &ConsoleController::setDelayText);
    connect(m_cmdOpenSerial, &QPushButton::clicked, c, &ConsoleController::openPort);
    connect(m_cmdSend, &QPushButton::clicked, c, &ConsoleController::send);
    connect(m_cmdQuit, &QPushButton::clicked, this, &QWidget::close);
    // Message boxes included, so that a nested event loop does not keep the program alive.
    connect(&m_terminations, &TerminationSignals::received, this, &QApplication::closeAllWindows);
}

void MainWindow::connectController()
{
    ConsoleController *c = &m_controller;
    connect(c, &ConsoleController::portsListed, this, &MainWindow::showPorts);
    connect(c, &ConsoleController::controlAccessChanged, this, &MainWindow::applyControlAccess);
    connect(c, &ConsoleController::delayModeChanged, this, &MainWindow::showDelayMode);
    connect(c, &ConsoleController::previewChanged, this, &MainWindow::showPreview);
    connect(c, &ConsoleController::delayTextChanged, m_txtDelay, &QLineEdit::setText);
    connect(c, &ConsoleController::replyReceived, this, &MainWindow::showReply);
    connect(c, &ConsoleController::messageRequested, this, &MainWindow::showMessage);
    connect(c, &ConsoleController::testStepShown, m_chaserLabel, &QWidget::setVisible);
    connect(&c->keyReports(), &KeyReportController::reportsAdded, this,
            &MainWindow::showKeyReports);
}

void MainWindow::showReply(const QString &byteText, const QString &meaning)
{
    // The state after a read-state command in words; other replies carry no meaning, and the
    // words of an earlier state must not stay on a later reply.
    m_txtByteRcv->setText(byteText);
    m_txtByteRcv->setToolTip(meaning);
    if (m_txtByteRcv->accessibleDescription() != meaning)
        m_txtByteRcv->setAccessibleDescription(meaning);
    m_replyFlash->flash();
}

void MainWindow::showKeyReports()
{
    if (!m_keyReportWindow) {
        // Made on the first report; its list selects the newest row by itself.
        KeyReportController &reports = m_controller.keyReports();
        m_keyReportWindow = new KeyReportWindow(reports.model());
        connect(m_keyReportWindow, &KeyReportWindow::clearRequested, &reports,
                &KeyReportController::clear);
        // Closing the window discards its rows; the next report starts a new list in a new
        // window, while this one deletes itself.
        connect(m_keyReportWindow, &KeyReportWindow::closed, this, [this] {
            m_keyReportWindow = nullptr;
            m_controller.keyReports().clear();
        });
    }
    if (!m_keyReportWindow->isVisible())
        m_keyReportWindow->show();
}

void MainWindow::showPorts(const QStringList &entries, int current, const QStringList &adapters)
{
    {
        // Adding the first entry would select it: the selection is the controller's.
        const QSignalBlocker quiet(m_cboPort);
        m_cboPort->clear();
        m_cboPort->addItems(entries);
        for (int i = 0; i < entries.size() && i < adapters.size(); ++i) {
            m_cboPort->setItemData(i, plainToolTip(adapters[i]), Qt::ToolTipRole);
            m_cboPort->setItemData(i, adapters[i], Qt::AccessibleDescriptionRole);
        }
        m_cboPort->setCurrentIndex(current); // the controller's own choice: nothing to tell it
    }
    // A board's ID can be longer than the field: the open list is as wide as its widest entry.
    QAbstractItemView *view = m_cboPort->view();
    int widest = 0;
    for (const QString &entry : entries)
        widest = std::max(widest, view->fontMetrics().horizontalAdvance(entry));
    // The item's own margins, the frame and a scroll bar, should the list need one.
    const int margins = 4 * view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin)
        + 2 * view->frameWidth() + view->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 8;
    view->setMinimumWidth(widest + margins);
    showPortAdapter(current);
}

void MainWindow::showPortAdapter(int index)
{
    // The list closed shows the chosen entry's adapter as the list open shows each one's.
    m_cboPort->setToolTip(m_cboPort->itemData(index, Qt::ToolTipRole).toString());
    m_cboPort->setAccessibleDescription(
        m_cboPort->itemData(index, Qt::AccessibleDescriptionRole).toString());
}

void MainWindow::applyControlAccess(const ControlAccess &access)
{
    const std::pair<QWidget *, bool> flags[] = {
        {m_cboPort, access.portList},         {m_cboOperation, access.operationList},
        {m_channelBoxes[0], access.channels}, {m_channelBoxes[1], access.channels},
        {m_channelBoxes[2], access.channels}, {m_channelBoxes[3], access.channels},
        {m_cmdOpenSerial, access.openButton}, {m_cmdSend, access.sendButton},
    };
    // Enable before disabling: a disabled control that had the focus passes it on to the next
    // enabled control in tab order, and one enabled by the same step must already count.
    for (const auto &[widget, enabled] : flags)
        if (enabled)
            widget->setEnabled(true);
    for (const auto &[widget, enabled] : flags)
        if (!enabled)
            widget->setEnabled(false);
}

void MainWindow::showDelayMode(bool delayMode)
{
    for (QCheckBox *box : m_channelBoxes)
        box->setVisible(!delayMode);
    for (QRadioButton *button : m_delayChannelButtons)
        button->setVisible(delayMode);
    m_txtDelay->setEnabled(delayMode);
    setBaseRole(m_txtDelay, delayMode ? QPalette::Base : QPalette::Window);
}

void MainWindow::showPreview(const QString &firstByte, const QString &secondByte)
{
    m_txtByteSend->setText(firstByte);
    if (!secondByte.isEmpty())
        m_txtByteSend2->setText(secondByte);
    m_txtByteSend2->setVisible(!secondByte.isEmpty());
}

void MainWindow::showMessage(const QString &text, ConsoleController::MessageIcon icon,
                             ConsoleController::Field focus)
{
    QMessageBox box(icon == ConsoleController::MessageIcon::Warning ? QMessageBox::Warning
                                                                    : QMessageBox::Information,
                    QStringLiteral("Korvia"), text, QMessageBox::Ok, this);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    QWidget *target = nullptr;
    switch (focus) {
    case ConsoleController::Field::None:
        break;
    case ConsoleController::Field::PortList:
        target = m_cboPort;
        break;
    case ConsoleController::Field::OperationList:
        target = m_cboOperation;
        break;
    case ConsoleController::Field::DelayText:
        target = m_txtDelay;
        break;
    }
    if (target)
        target->setFocus(Qt::OtherFocusReason);
}

void MainWindow::connectShortcuts()
{
    // Ctrl+T, with or without Shift or Alt, whatever control has the focus.
    for (const QKeyCombination keys :
         {Qt::CTRL | Qt::Key_T, Qt::CTRL | Qt::SHIFT | Qt::Key_T, Qt::CTRL | Qt::ALT | Qt::Key_T,
          Qt::CTRL | Qt::SHIFT | Qt::ALT | Qt::Key_T}) {
        auto *chaser = new QShortcut(QKeySequence(keys), this);
        connect(chaser, &QShortcut::activated, &m_controller, &ConsoleController::startChaser);
    }
    // Escape only while the chaser runs: otherwise it stays the controls' own (a list closes
    // its popup with it).
    auto *stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    stop->setEnabled(false);
    connect(stop, &QShortcut::activated, this, [this] {
        // The shortcut takes Escape from the focused button, which would cancel its press
        // with it: a button held down with Space is let go here, as it is without the chaser.
        if (auto *button = qobject_cast<QAbstractButton *>(QApplication::focusWidget());
            button && button->isDown())
            button->setDown(false);
        m_controller.stopChaser();
    });
    connect(&m_controller, &ConsoleController::testRunningChanged, stop, &QShortcut::setEnabled);
    // Return and Enter press the focused push button, as Space does.
    for (QPushButton *button : findChildren<QPushButton *>())
        button->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        // A button that is some dialog's default handles Return and Enter itself.
        auto *button = qobject_cast<QPushButton *>(watched);
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (enter && button && button->isEnabled() && !button->isDefault() && !button->autoDefault()
            && !(key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier))) {
            button->click();
            return true;
        }
    }
    return false;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_keyReportWindow)
        m_keyReportWindow->close();
    m_controller.windowClosing();
    event->accept();
}
