#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <array>
#include <cstdint>
#include <deque>
#include <span>

#include "receivedecoder.h"

// The rows of the key report list. A row is stored as its five bytes (press kind and the four
// codes) and its texts are made when a view asks for them, so a night of reports costs a few
// megabytes. A deque grows in fixed blocks: appending never copies the rows already there.
class IrKeyListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { PressColumn, UserCode1Column, UserCode2Column, OperationColumn, InverseColumn };
    static constexpr int columns = 5;

    // Icons for short and long presses.
    IrKeyListModel(QIcon shortIcon, QIcon longIcon, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    void append(std::span<const IrKeyMessage> messages);
    void clear();
    IrKeyMessage message(int row) const;

    static QString pressText(PressKind kind);

private:
    using Row = std::array<std::uint8_t, 5>;
    std::deque<Row> m_rows;
    QIcon m_shortIcon;
    QIcon m_longIcon;
};
