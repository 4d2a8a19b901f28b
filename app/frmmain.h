#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

#include "mainconsole.h"
#include "mainview.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The main window. It only shows what MainConsole decides and forwards its events there.
class frmMain : public QWidget, public MainView {
    Q_OBJECT
public:
    explicit frmMain(SerialPortService::PortMap portMap = comPortDevice, QWidget* parent = nullptr);
    ~frmMain() override;

    MainConsole& console() { return *m_console; }
    QWidget* widget(Control control) const;
    QTimer& timer1() { return m_timer1; }

    // MainView; the widget's own functions of the same names stay usable.
    using QWidget::isEnabled;
    using QWidget::isVisible;
    using QWidget::setEnabled;
    using QWidget::setFocus;
    using QWidget::setVisible;
    void setEnabled(Control control, bool enabled) override;
    bool isEnabled(Control control) const override;
    void setVisible(Control control, bool visible) override;
    bool isVisible(Control control) const override;
    void setText(Control control, const QString& text) override;
    QString text(Control control) const override;
    bool isChecked(Control control) const override;
    int currentIndex(Control control) const override;
    void addItem(Control control, const QString& text) override;
    void setFocus(Control control) override;
    void setBackground(Control control, ColourRole role) override;
    void showMessage(const QString& text, MessageIcon icon) override;
    void closeWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void connectEvents();

    QComboBox* cboPort;
    QComboBox* cboOperation;
    QGroupBox* Frame1;
    std::array<QCheckBox*, 4> cbCh;
    std::array<QRadioButton*, 4> rbCH;
    QLineEdit* txtDelay;
    QLineEdit* txtByteSend;
    QLineEdit* txtByteSend2;
    QLineEdit* txtByteRcv;
    QPushButton* cmdOpenSerial;
    QPushButton* cmdSend;
    QPushButton* cmdQuit;
    QLabel* Label7;
    QTimer m_timer1;

    std::unique_ptr<MainConsole> m_console;
};
