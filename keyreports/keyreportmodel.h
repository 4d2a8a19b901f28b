#pragma once

#include <QAbstractTableModel>
#include <QVariant>
#include <array>
#include <cstdint>
#include <deque>
#include <span>

#include "receivedecoder.h"

// The rows of the key report list. A row is stored as the report itself, five bytes (press kind
// and the four codes), and its texts are made when a view asks for them, so a night of reports
// costs a few megabytes. A deque grows in fixed blocks: appending never copies the rows already
// there.
class KeyReportModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { PressColumn, UserCode1Column, UserCode2Column, OperationColumn, InverseColumn };
    static constexpr int columns = 5;

    explicit KeyReportModel(QObject *parent = nullptr);

    // What the first column shows beside "短按" and "长按" (icons, as the window makes them).
    void setPressIcons(const QVariant &shortIcon, const QVariant &longIcon);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    void append(std::span<const IrKeyMessage> messages);
    void clear();
    IrKeyMessage message(int row) const;

    static QString pressText(PressKind kind);
    // Every text a cell of the column can show (the press kinds, or the 256 byte texts), so that
    // a view can make its columns wide enough before the first row comes.
    static QStringList columnTexts(int column);

private:
    static_assert(sizeof(IrKeyMessage) == 5, "a row is five bytes");
    std::deque<IrKeyMessage> m_rows;
    std::array<QString, 2> m_pressTexts; // short, long
    QVariant m_shortIcon;
    QVariant m_longIcon;
};
