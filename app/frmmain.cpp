#include "frmmain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include "frmir.h"
#include "twips.h"

namespace {

QLabel* label(QWidget* parent, const char* name, const QString& text, QRect geometry)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    return l;
}

template <typename W>
W* control(QWidget* parent, const char* name, QRect geometry)
{
    auto* w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(geometry);
    return w;
}

void setBaseRole(QWidget* w, QPalette::ColorRole from)
{
    QPalette palette = w->palette();
    palette.setBrush(QPalette::Base, QApplication::palette().brush(from));  // every colour group
    w->setPalette(palette);
}

}  // namespace

frmMain::frmMain(SerialPortService::PortMap portMap, QWidget* parent)
    : QWidget(parent,
              Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                  Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                  Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Vantrel - V2.3"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/relay-console.png")));
    setFixedSize(twips(4185), twips(5175));
    buildControls();

    m_console = std::make_unique<MainConsole>(
        *this, std::move(portMap),
        [](IrMessageWindow& controller) { return std::make_unique<frmIR>(controller); });
    connectEvents();
    // Key presses are seen here before the control with the focus, and passed on.
    qApp->installEventFilter(this);
    m_console->onLoad();
}

frmMain::~frmMain() { qApp->removeEventFilter(this); }

bool frmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto* target = static_cast<QWidget*>(watched);
        // A key press the focused control leaves alone travels on to its parents, and each step
        // passes through this filter again: act on its first delivery only.
        QWidget* first = QApplication::focusWidget() ? QApplication::focusWidget() : this;
        if (target == first && target->window() == this) {
            const auto* key = static_cast<QKeyEvent*>(event);
            m_console->onKeyPressed(key->key(), key->modifiers());
        }
    }
    return false;
}

void frmMain::buildControls()
{
    label(this, "Label6", QStringLiteral("串口选择"), twipsRect(240, 240, 1095, 255));
    cboPort = control<QComboBox>(this, "cboPort", twipsRect(1440, 210, 1215, 315));
    label(this, "Label1", QStringLiteral("命令代码"), twipsRect(240, 720, 1095, 255));
    cboOperation = control<QComboBox>(this, "cboOperation", twipsRect(1440, 690, 2055, 315));
    for (const QString& entry : relayOperationTexts) cboOperation->addItem(entry);
    cboOperation->setCurrentIndex(-1);

    Frame1 = control<QGroupBox>(this, "Frame1", twipsRect(240, 1200, 3735, 1575));
    Frame1->setTitle(QStringLiteral("通道选择"));
    label(Frame1, "Label2", QStringLiteral("标准通道"), twipsRect(360, 480, 855, 255));
    label(Frame1, "Label3", QStringLiteral("扩展通道"), twipsRect(360, 960, 855, 255));
    // The check boxes (relay commands) and the option buttons (delay command) share places;
    // only one set is visible at a time.
    const std::array<QRect, 4> checkPlaces{
        twipsRect(1680, 480, 735, 255), twipsRect(2520, 480, 735, 255),
        twipsRect(1680, 960, 735, 255), twipsRect(2520, 960, 735, 255)};
    const std::array<QRect, 4> optionPlaces{
        twipsRect(1680, 480, 615, 255), twipsRect(2520, 480, 735, 255),
        twipsRect(1680, 960, 615, 255), twipsRect(2520, 960, 615, 255)};
    static const char* const checkNames[] = {"cbCh1", "cbCh2", "cbCh3", "cbCh4"};
    static const char* const optionNames[] = {"rbCH1", "rbCH2", "rbCH3", "rbCH4"};
    for (int i = 0; i < 4; ++i) {
        const QString caption = QStringLiteral("CH%1").arg(i + 1);
        cbCh[i] = control<QCheckBox>(Frame1, checkNames[i], checkPlaces[i]);
        cbCh[i]->setText(caption);
        rbCH[i] = control<QRadioButton>(Frame1, optionNames[i], optionPlaces[i]);
        rbCH[i]->setText(caption);
        rbCH[i]->hide();
    }
    rbCH[0]->setChecked(true);

    label(this, "Label8", QStringLiteral("延迟时间"), twipsRect(240, 3000, 1095, 255));
    txtDelay = control<QLineEdit>(this, "txtDelay", twipsRect(1440, 2985, 615, 285));
    txtDelay->setEnabled(false);
    setBaseRole(txtDelay, QPalette::Window);
    label(this, "Label9", QStringLiteral("秒 (1-255)"), twipsRect(2160, 3000, 975, 255));

    label(this, "Label4", QStringLiteral("指令代码"), twipsRect(240, 3480, 1095, 255));
    txtByteSend = control<QLineEdit>(this, "txtByteSend", twipsRect(1440, 3465, 615, 285));
    txtByteSend2 = control<QLineEdit>(this, "txtByteSend2", twipsRect(2160, 3465, 615, 285));
    label(this, "Label5", QStringLiteral("返回值"), twipsRect(240, 3960, 1095, 255));
    txtByteRcv = control<QLineEdit>(this, "txtByteRcv", twipsRect(1440, 3945, 615, 285));
    for (QLineEdit* field : {txtByteSend, txtByteSend2, txtByteRcv}) {
        field->setReadOnly(true);
        field->setText(QStringLiteral("0x00"));
        setBaseRole(field, QPalette::ToolTipBase);
    }
    txtByteSend2->hide();

    cmdOpenSerial = control<QPushButton>(this, "cmdOpenSerial", twipsRect(480, 4440, 975, 375));
    cmdOpenSerial->setText(QStringLiteral("打开串口"));
    cmdSend = control<QPushButton>(this, "cmdSend", twipsRect(1560, 4440, 975, 375));
    cmdSend->setText(QStringLiteral("发送指令"));
    cmdSend->setEnabled(false);
    cmdQuit = control<QPushButton>(this, "cmdQuit", twipsRect(2640, 4440, 975, 375));
    cmdQuit->setText(QStringLiteral("退出"));
    for (QPushButton* button : {cmdOpenSerial, cmdSend, cmdQuit}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // Wider than the window on purpose: its right end is cut off.
    Label7 = label(this, "Label7", QStringLiteral("测试信号已启动 ..."),
                   twipsRect(240, 4920, 4095, 255));
    QPalette highlight = Label7->palette();
    highlight.setBrush(QPalette::WindowText, QApplication::palette().brush(QPalette::Highlight));
    Label7->setPalette(highlight);
    Label7->hide();

    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer1.setInterval(1000);
    m_timer1.setTimerType(Qt::CoarseTimer);

    // Labels and the frame take no focus; the rest in this order.
    const QList<QWidget*> tabOrder{cboPort,     cboOperation, cbCh[0],      cbCh[1],
                                   cbCh[2],     cbCh[3],      rbCH[0],      rbCH[1],
                                   rbCH[2],     rbCH[3],      txtDelay,     txtByteSend,
                                   txtByteSend2, txtByteRcv,  cmdOpenSerial, cmdSend,
                                   cmdQuit};
    for (qsizetype i = 1; i < tabOrder.size(); ++i) QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void frmMain::connectEvents()
{
    MainConsole* c = m_console.get();
    // "Chosen" means by the operator, with the mouse or the keyboard, not set by the program.
    connect(cboOperation, &QComboBox::activated, c, [c] { c->onOperationChosen(); });
    for (QCheckBox* box : cbCh) connect(box, &QCheckBox::clicked, c, [c] { c->onChannelClicked(); });
    for (QRadioButton* button : rbCH) {
        // Arrow keys move the selection without a click; follow the newly selected button.
        connect(button, &QRadioButton::toggled, c, [c](bool on) {
            if (on) c->onDelayChannelClicked();
        });
    }
    connect(txtDelay, &QLineEdit::textChanged, c, [c] { c->onDelayTextChanged(); });
    connect(cmdOpenSerial, &QPushButton::clicked, c, [c] { c->onOpenClicked(); });
    connect(cmdSend, &QPushButton::clicked, c, [c] { c->onSendClicked(); });
    connect(cmdQuit, &QPushButton::clicked, c, [c] { c->onQuitClicked(); });
    connect(&m_timer1, &QTimer::timeout, c, [c] { c->onTimer1Tick(); });
}

QWidget* frmMain::widget(Control control) const
{
    switch (control) {
    case Control::cboPort: return cboPort;
    case Control::cboOperation: return cboOperation;
    case Control::cbCh1: return cbCh[0];
    case Control::cbCh2: return cbCh[1];
    case Control::cbCh3: return cbCh[2];
    case Control::cbCh4: return cbCh[3];
    case Control::rbCH1: return rbCH[0];
    case Control::rbCH2: return rbCH[1];
    case Control::rbCH3: return rbCH[2];
    case Control::rbCH4: return rbCH[3];
    case Control::txtDelay: return txtDelay;
    case Control::txtByteSend: return txtByteSend;
    case Control::txtByteSend2: return txtByteSend2;
    case Control::txtByteRcv: return txtByteRcv;
    case Control::cmdOpenSerial: return cmdOpenSerial;
    case Control::cmdSend: return cmdSend;
    case Control::cmdQuit: return cmdQuit;
    case Control::Label7: return Label7;
    case Control::Timer1: return nullptr;
    }
    return nullptr;
}

void frmMain::setEnabled(Control control, bool enabled)
{
    if (control == Control::Timer1) {
        // Enabling a running timer keeps its schedule.
        if (!enabled) m_timer1.stop();
        else if (!m_timer1.isActive()) m_timer1.start();
        return;
    }
    // A disabled widget that had the focus passes it to the next one in tab order.
    widget(control)->setEnabled(enabled);
}

bool frmMain::isEnabled(Control control) const
{
    if (control == Control::Timer1) return m_timer1.isActive();
    return widget(control)->isEnabled();
}

void frmMain::setVisible(Control control, bool visible)
{
    if (QWidget* w = widget(control)) w->setVisible(visible);
}

bool frmMain::isVisible(Control control) const
{
    const QWidget* w = widget(control);
    return w && !w->isHidden();
}

void frmMain::setText(Control control, const QString& text)
{
    QWidget* w = widget(control);
    if (auto* field = qobject_cast<QLineEdit*>(w)) field->setText(text);
    else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(text);
}

QString frmMain::text(Control control) const
{
    QWidget* w = widget(control);
    if (auto* field = qobject_cast<QLineEdit*>(w)) return field->text();
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return combo->currentIndex() >= 0 ? combo->currentText() : QString();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    return {};
}

bool frmMain::isChecked(Control control) const
{
    auto* button = qobject_cast<QAbstractButton*>(widget(control));
    return button && button->isChecked();
}

int frmMain::currentIndex(Control control) const
{
    auto* combo = qobject_cast<QComboBox*>(widget(control));
    return combo ? combo->currentIndex() : -1;
}

void frmMain::addItem(Control control, const QString& text)
{
    auto* combo = qobject_cast<QComboBox*>(widget(control));
    if (!combo) return;
    // Adding the first entry would select it; the list starts with nothing selected.
    const int selected = combo->currentIndex();
    combo->addItem(text);
    combo->setCurrentIndex(selected);
}

void frmMain::setFocus(Control control)
{
    if (QWidget* w = widget(control)) w->setFocus(Qt::OtherFocusReason);
}

void frmMain::setBackground(Control control, ColourRole role)
{
    if (QWidget* w = widget(control))
        setBaseRole(w, role == ColourRole::ButtonFace ? QPalette::Window : QPalette::Base);
}

void frmMain::showMessage(const QString& text, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::Information,
                    QStringLiteral("Korvia"), text, QMessageBox::Ok, this);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void frmMain::closeWindow() { close(); }

void frmMain::closeEvent(QCloseEvent* event)
{
    m_console->onWindowClosing();
    event->accept();
}
