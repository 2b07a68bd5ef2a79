#pragma once

// Turns SIGINT and SIGTERM into a call on the window's thread, where it is
// safe to close windows (and with them the log file). The handler only
// writes one byte into a socket pair; a QSocketNotifier reads it in the
// event loop and calls the action. Each handler fires once: a second
// signal ends the process as it would have without this.
//
// One object at a time; it puts the previous handlers back when it goes.
// Windows has no such signals for a window program; there it does nothing.

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace zelmora {

class CTerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit CTerminationSignals(std::function<void()> action, QObject* parent = nullptr);
    ~CTerminationSignals() override;

    // False when the socket pair or a handler could not be set up; the
    // signals then keep their previous handling.
    bool IsInstalled() const { return m_bInstalled; }

private:
    void OnSignalled();

    std::function<void()> m_action;
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_sockets[2] = {-1, -1};
    bool m_bInstalled = false;
    struct Previous;
    std::unique_ptr<Previous> m_previous;
};

} // namespace zelmora
