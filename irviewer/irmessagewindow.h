#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "irmessageview.h"

// Controller of the key report window: creates the window when a report needs one and
// forgets it when it is closed, so that the next report starts an empty one.
class IrMessageWindow : public QObject {
    Q_OBJECT
public:
    using ViewFactory = std::function<std::unique_ptr<IrMessageView>(IrMessageWindow&)>;

    explicit IrMessageWindow(ViewFactory factory, QObject* parent = nullptr);
    ~IrMessageWindow() override;

    void addKeyMessage(const IrKeyMessage& message) { addKeyMessages({&message, 1}); }
    // Several reports that arrived together: the rows are appended in order, and the newest is
    // then selected and scrolled to once.
    void addKeyMessages(std::span<const IrKeyMessage> messages);
    void closeIfOpen();

    IrMessageView* view() const { return m_view.get(); }

    // Events of the window.
    void onEmptyList();
    void onViewClosed();

private:
    ViewFactory m_factory;
    std::unique_ptr<IrMessageView> m_view;
    // A window that closed itself is still inside its own close handling; it is destroyed
    // once that has returned.
    std::vector<std::unique_ptr<IrMessageView>> m_closed;
};
