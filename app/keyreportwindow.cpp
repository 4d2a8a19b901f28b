#include "keyreportwindow.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QIcon>
#include <QMenu>

#include "appicons.h"
#include "keyreportmodel.h"
#include "keyreportview.h"
#include "twips.h"

KeyReportWindow::KeyReportWindow(KeyReportModel *model)
    : QWidget(nullptr,
              Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                  | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                  | Qt::WindowCloseButtonHint)
    , m_model(model)
{
    setObjectName(QStringLiteral("frmIR"));
    setWindowTitle(tr("红外按键消息"));
    setWindowIcon(QIcon(AppIcons::application()));
    setFixedSize(twips(5775), twips(2295));
    // A report must not take the keyboard from the operator typing in the main window, nor
    // keep the program running once the main window has gone.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_QuitOnClose, false);
    setAttribute(Qt::WA_DeleteOnClose);

    // ilIRIcon: short presses green, long presses red-orange.
    m_model->setPressIcons(QIcon(AppIcons::shortPress()), QIcon(AppIcons::longPress()));
    m_lvIRCmd = new KeyReportView(this);
    m_lvIRCmd->setObjectName(QStringLiteral("lvIRCmd"));
    m_lvIRCmd->setGeometry(twipsRect(0, 0, 5775, 2295));
    m_lvIRCmd->setModel(m_model);
    m_lvIRCmd->header()->setDefaultSectionSize(twips(800));
    for (int c = 0; c < KeyReportModel::columns; ++c)
        m_lvIRCmd->header()->resizeSection(c, twips(800));

    m_popup = new QMenu(this);
    m_popup->setObjectName(QStringLiteral("Popup"));
    m_emptyList = m_popup->addAction(tr("清空列表"));
    m_emptyList->setObjectName(QStringLiteral("EmptyList"));
    connect(m_emptyList, &QAction::triggered, this, &KeyReportWindow::clearRequested);
    m_lvIRCmd->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_lvIRCmd, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { m_popup->popup(m_lvIRCmd->viewport()->mapToGlobal(pos)); });
}

KeyReportWindow::~KeyReportWindow() = default;

void KeyReportWindow::closeEvent(QCloseEvent *event)
{
    m_popup->hide();
    event->accept();
    emit closed();
}
