#pragma once

// Answers the next modal window (a message box or a dialog run with exec)
// from inside its own event loop: the test creates the answerer, then does
// what opens the window. An answerer that goes out of scope stops waiting.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace zelmora::test {

class ModalAnswerer {
public:
    // Calls `answer` with the modal window once one is open; the answer
    // must close it. Answers once.
    explicit ModalAnswerer(std::function<void(QWidget&)> answer) : m_answer(std::move(answer)) {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                m_timer.stop();
                m_answered = true;
                m_answer(*modal);
            }
        });
        m_timer.start();
    }
    ModalAnswerer(const ModalAnswerer&) = delete;
    ModalAnswerer& operator=(const ModalAnswerer&) = delete;

    bool Answered() const { return m_answered; }

private:
    std::function<void(QWidget&)> m_answer;
    QTimer m_timer;
    bool m_answered = false;
};

} // namespace zelmora::test
