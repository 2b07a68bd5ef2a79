#include "app/TerminationSignals.h"

#include <QSocketNotifier>
#include <atomic>

#if !defined(_WIN32)
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zelmora {

#if !defined(_WIN32)

namespace {

// The handler's only state: where to write. Lock-free, so safe to read in a
// signal handler.
std::atomic<int> g_signalSocket{-1};

extern "C" void OnTerminationSignal(int) {
    const int savedErrno = errno;
    const int socket = g_signalSocket.load();
    if (socket >= 0) {
        const char byte = 1;
        // Non-blocking: if bytes are already waiting, one more is not needed.
        [[maybe_unused]] const ssize_t written = ::write(socket, &byte, 1);
    }
    errno = savedErrno;
}

constexpr int kSignals[] = {SIGINT, SIGTERM};

} // namespace

struct CTerminationSignals::Previous {
    struct sigaction actions[2];
};

CTerminationSignals::CTerminationSignals(std::function<void()> action, QObject* parent)
    : QObject(parent), m_action(std::move(action)), m_previous(std::make_unique<Previous>()) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_sockets) != 0) {
        m_sockets[0] = m_sockets[1] = -1;
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_sockets[1], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &CTerminationSignals::OnSignalled);
    g_signalSocket.store(m_sockets[0]);

    struct sigaction handler {};
    handler.sa_handler = &OnTerminationSignal;
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = SA_RESTART | SA_RESETHAND;
    m_bInstalled = true;
    for (int i = 0; i < 2; ++i) {
        if (::sigaction(kSignals[i], &handler, &m_previous->actions[i]) != 0) {
            m_bInstalled = false;
        }
    }
}

CTerminationSignals::~CTerminationSignals() {
    if (m_sockets[0] >= 0) {
        for (int i = 0; i < 2; ++i) {
            ::sigaction(kSignals[i], &m_previous->actions[i], nullptr);
        }
        g_signalSocket.store(-1);
        m_notifier.reset();
        ::close(m_sockets[0]);
        ::close(m_sockets[1]);
    }
}

void CTerminationSignals::OnSignalled() {
    char bytes[16];
    while (::read(m_sockets[1], bytes, sizeof bytes) > 0) {
    }
    if (m_action) {
        m_action();
    }
}

#else

struct CTerminationSignals::Previous {};

CTerminationSignals::CTerminationSignals(std::function<void()> action, QObject* parent)
    : QObject(parent), m_action(std::move(action)) {}

CTerminationSignals::~CTerminationSignals() = default;

void CTerminationSignals::OnSignalled() {}

#endif

} // namespace zelmora
