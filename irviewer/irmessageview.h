#pragma once

#include <span>

#include "receivedecoder.h"

// The key report window as its controller sees it. The window holds the rows; they live and
// die with it.
class IrMessageView {
public:
    virtual ~IrMessageView() = default;

    virtual void appendRows(std::span<const IrKeyMessage> messages) = 0;
    virtual void clearRows() = 0;
    virtual int rowCount() const = 0;
    // Makes the row the one selected row and scrolls it into view.
    virtual void selectRow(int row) = 0;
    virtual bool isShown() const = 0;
    // Shows the window, not modal.
    virtual void showWindow() = 0;
    // Closes the window for good; the controller is told through onViewClosed().
    virtual void closeWindow() = 0;
};
