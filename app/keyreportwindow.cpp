#include "keyreportwindow.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QIcon>
#include <QMenu>
#include <QVBoxLayout>

#include <algorithm>

#include "appicons.h"
#include "keyreportmodel.h"
#include "keyreportview.h"
#include "twips.h"

KeyReportWindow::KeyReportWindow(KeyReportModel *model)
    : QWidget(nullptr,
              Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                  | Qt::WindowCloseButtonHint)
    , m_model(model)
{
    setObjectName(QStringLiteral("frmIR"));
    setWindowTitle(tr("红外按键消息"));
    setWindowIcon(QIcon(AppIcons::application()));
    // A report must not take the keyboard from the operator typing in the main window, nor
    // keep the program running once the main window has gone.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_QuitOnClose, false);
    setAttribute(Qt::WA_DeleteOnClose);

    // ilIRIcon: short presses green, long presses red-orange.
    m_model->setPressIcons(QIcon(AppIcons::shortPress()), QIcon(AppIcons::longPress()));
    m_lvIRCmd = new KeyReportView(this);
    m_lvIRCmd->setObjectName(QStringLiteral("lvIRCmd"));
    m_lvIRCmd->setModel(m_model);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_lvIRCmd);

    m_popup = new QMenu(this);
    m_popup->setObjectName(QStringLiteral("Popup"));
    m_emptyList = m_popup->addAction(tr("清空列表"));
    m_emptyList->setObjectName(QStringLiteral("EmptyList"));
    connect(m_emptyList, &QAction::triggered, this, &KeyReportWindow::clearRequested);
    m_lvIRCmd->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_lvIRCmd, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { m_popup->popup(m_lvIRCmd->viewport()->mapToGlobal(pos)); });
    fitToFont();
}

KeyReportWindow::~KeyReportWindow() = default;

void KeyReportWindow::fitToFont()
{
    const qreal scale = fontScale(QFontInfo(font()).pixelSize());
    const auto grown = [scale](int twipsLength) { return qRound(twips(twipsLength) * scale); };
    const int iconSide = qRound(16 * scale);
    m_lvIRCmd->setIconSize(QSize(iconSide, iconSide));
    QHeaderView *header = m_lvIRCmd->header();
    for (int c = 0; c < KeyReportModel::columns; ++c) {
        int width = std::max(grown(800), header->sectionSizeHint(c));
        for (const QString &text : KeyReportModel::columnTexts(c))
            width = std::max(width, m_lvIRCmd->cellWidth(text, c == KeyReportModel::PressColumn));
        header->resizeSection(c, width);
    }
    // The drawn-up client area, grown with the font and, where the columns need more, wider.
    // A window the operator made larger stays so.
    const int columnsWidth = header->length() + 2 * m_lvIRCmd->frameWidth();
    const QSize wanted(std::max(grown(5775), columnsWidth), grown(2295));
    resize(m_fitted ? size().expandedTo(wanted) : wanted);
    m_fitted = true;
}

void KeyReportWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (m_lvIRCmd && (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        fitToFont();
}

void KeyReportWindow::closeEvent(QCloseEvent *event)
{
    m_popup->hide();
    event->accept();
    emit closed();
}
