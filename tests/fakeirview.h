#pragma once

#include <QList>
#include <memory>
#include <vector>

#include "irmessagewindow.h"
#include "irmessageview.h"

// A key report window without widgets. Its factory records every window it creates, and each
// records what was done to it; records outlive the windows, which the controller destroys.
struct FakeIrRecord {
    QList<IrKeyMessage> rows;
    int selectedRow = -1;
    bool shown = false;
    int showCalls = 0;
    bool closed = false;
    bool destroyed = false;
};

class FakeIrView : public IrMessageView {
public:
    FakeIrView(IrMessageWindow& controller, std::shared_ptr<FakeIrRecord> record)
        : m_controller(controller), m_record(std::move(record))
    {
    }
    ~FakeIrView() override { m_record->destroyed = true; }

    void appendRows(std::span<const IrKeyMessage> messages) override
    {
        for (const IrKeyMessage& m : messages) m_record->rows.append(m);
    }
    void clearRows() override { m_record->rows.clear(); }
    int rowCount() const override { return static_cast<int>(m_record->rows.size()); }
    void selectRow(int row) override { m_record->selectedRow = row; }
    bool isShown() const override { return m_record->shown; }
    void showWindow() override
    {
        m_record->shown = true;
        ++m_record->showCalls;
    }
    void closeWindow() override
    {
        m_record->shown = false;
        m_record->closed = true;
        m_controller.onViewClosed();
    }

private:
    IrMessageWindow& m_controller;
    std::shared_ptr<FakeIrRecord> m_record;
};

struct FakeIrViews {
    std::vector<std::shared_ptr<FakeIrRecord>> created;

    IrMessageWindow::ViewFactory factory()
    {
        return [this](IrMessageWindow& controller) {
            created.push_back(std::make_shared<FakeIrRecord>());
            return std::make_unique<FakeIrView>(controller, created.back());
        };
    }
};
