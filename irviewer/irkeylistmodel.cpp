#include "irkeylistmodel.h"

#include "hexbytetext.h"

IrKeyListModel::IrKeyListModel(QIcon shortIcon, QIcon longIcon, QObject* parent)
    : QAbstractTableModel(parent), m_shortIcon(std::move(shortIcon)), m_longIcon(std::move(longIcon))
{
}

int IrKeyListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int IrKeyListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : columns;
}

QString IrKeyListModel::pressText(PressKind kind)
{
    return kind == PressKind::Short ? QStringLiteral("短按") : QStringLiteral("长按");
}

IrKeyMessage IrKeyListModel::message(int row) const
{
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    return {r[0] ? PressKind::Long : PressKind::Short, r[1], r[2], r[3], r[4]};
}

QVariant IrKeyListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columns) return {};
    const Row& r = m_rows[static_cast<std::size_t>(index.row())];
    const PressKind kind = r[0] ? PressKind::Long : PressKind::Short;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return index.column() == PressColumn ? pressText(kind) : HexByteText(r[index.column()]);
    case Qt::DecorationRole:
        if (index.column() == PressColumn) return kind == PressKind::Short ? m_shortIcon : m_longIcon;
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
        return {};
    }
}

QVariant IrKeyListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columns) return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    if (role != Qt::DisplayRole) return {};
    static const char16_t* const headers[] = {u"按键类型", u"用户码1", u"用户码2", u"操作码",
                                              u"反码"};
    return QString::fromUtf16(headers[section]);
}

Qt::ItemFlags IrKeyListModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled : Qt::NoItemFlags;
}

void IrKeyListModel::append(std::span<const IrKeyMessage> messages)
{
    if (messages.empty()) return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(messages.size()) - 1);
    for (const IrKeyMessage& m : messages) {
        m_rows.push_back({static_cast<std::uint8_t>(m.pressKind == PressKind::Long), m.userCode1,
                          m.userCode2, m.operationCode, m.inverseCode});
    }
    endInsertRows();
}

void IrKeyListModel::clear()
{
    beginResetModel();
    std::deque<Row>().swap(m_rows);  // give the blocks back, not just the rows
    endResetModel();
}
