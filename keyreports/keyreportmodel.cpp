#include "keyreportmodel.h"

#include "hexbytetext.h"

KeyReportModel::KeyReportModel(QObject *parent)
    : QAbstractTableModel(parent)
    , m_pressTexts {pressText(PressKind::Short), pressText(PressKind::Long)}
{ }

void KeyReportModel::setPressIcons(const QVariant &shortIcon, const QVariant &longIcon)
{
    m_shortIcon = shortIcon;
    m_longIcon = longIcon;
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
}

int KeyReportModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int KeyReportModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columns;
}

QString KeyReportModel::pressText(PressKind kind)
{
    return kind == PressKind::Short ? tr("短按") : tr("长按");
}

QStringList KeyReportModel::columnTexts(int column)
{
    if (column == PressColumn)
        return {pressText(PressKind::Short), pressText(PressKind::Long)};
    QStringList texts;
    if (column > PressColumn && column < columns) {
        texts.reserve(256);
        for (int v = 0; v < 256; ++v)
            texts << hexByteText(static_cast<std::uint8_t>(v));
    }
    return texts;
}

IrKeyMessage KeyReportModel::message(int row) const
{
    return m_rows[static_cast<std::size_t>(row)];
}

QVariant KeyReportModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columns)
        return {};
    const IrKeyMessage &m = m_rows[static_cast<std::size_t>(index.row())];
    const std::uint8_t codes[] = {m.userCode1, m.userCode2, m.operationCode, m.inverseCode};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return index.column() == PressColumn ? m_pressTexts[m.pressKind == PressKind::Long ? 1 : 0]
                                             : hexByteText(codes[index.column() - UserCode1Column]);
    case Qt::DecorationRole:
        if (index.column() == PressColumn)
            return m.pressKind == PressKind::Short ? m_shortIcon : m_longIcon;
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant KeyReportModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columns)
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    if (role != Qt::DisplayRole)
        return {};
    static const char *const headers[]
        = {QT_TR_NOOP("按键类型"), QT_TR_NOOP("用户码1"), QT_TR_NOOP("用户码2"),
           QT_TR_NOOP("操作码"), QT_TR_NOOP("反码")};
    return tr(headers[section]);
}

Qt::ItemFlags KeyReportModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}

void KeyReportModel::append(std::span<const IrKeyMessage> messages)
{
    if (messages.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(messages.size()) - 1);
    m_rows.insert(m_rows.end(), messages.begin(), messages.end());
    endInsertRows();
}

void KeyReportModel::clear()
{
    beginResetModel();
    std::deque<IrKeyMessage>().swap(m_rows); // give the blocks back, not just the rows
    endResetModel();
}
