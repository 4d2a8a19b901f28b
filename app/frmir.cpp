#include "frmir.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QIcon>
#include <QMenu>

#include "irkeylistmodel.h"
#include "irlistview.h"
#include "irmessagewindow.h"
#include "twips.h"

frmIR::frmIR(IrMessageWindow& controller)
    : QWidget(nullptr, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      m_controller(controller)
{
    setObjectName(QStringLiteral("frmIR"));
    setWindowTitle(QStringLiteral("红外按键消息"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/relay-console.png")));
    setFixedSize(twips(5775), twips(2295));
    // A report must not take the keyboard from the operator typing in the main window, nor
    // keep the program running once the main window has gone.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_QuitOnClose, false);

    // ilIRIcon: short presses green, long presses red-orange.
    m_model = new IrKeyListModel(QIcon(QStringLiteral(":/icons/tag-short.png")),
                                 QIcon(QStringLiteral(":/icons/tag-long.png")), this);
    lvIRCmd = new IrListView(this);
    lvIRCmd->setObjectName(QStringLiteral("lvIRCmd"));
    lvIRCmd->setGeometry(twipsRect(0, 0, 5775, 2295));
    lvIRCmd->setModel(m_model);
    lvIRCmd->header()->setDefaultSectionSize(twips(800));
    for (int c = 0; c < IrKeyListModel::columns; ++c) lvIRCmd->header()->resizeSection(c, twips(800));

    Popup = new QMenu(this);
    Popup->setObjectName(QStringLiteral("Popup"));
    EmptyList = Popup->addAction(QStringLiteral("清空列表"));
    EmptyList->setObjectName(QStringLiteral("EmptyList"));
    connect(EmptyList, &QAction::triggered, this, [this] { m_controller.onEmptyList(); });
    lvIRCmd->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvIRCmd, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        Popup->popup(lvIRCmd->viewport()->mapToGlobal(pos));
    });
}

frmIR::~frmIR() = default;

void frmIR::appendRows(std::span<const IrKeyMessage> messages) { m_model->append(messages); }

void frmIR::clearRows() { m_model->clear(); }

int frmIR::rowCount() const { return m_model->rowCount(); }

void frmIR::selectRow(int row)
{
    const QModelIndex index = m_model->index(row, 0);
    lvIRCmd->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    lvIRCmd->scrollTo(index);
}

bool frmIR::isShown() const { return isVisible(); }

void frmIR::showWindow() { show(); }

void frmIR::closeWindow() { close(); }

void frmIR::closeEvent(QCloseEvent* event)
{
    Popup->hide();
    event->accept();
    m_controller.onViewClosed();
}
