#pragma once

// A main window on the virtual USB backend, shown and active, with helpers
// that find its controls by id and drive them as the operator does.

#include "app/ZelmoraDlg.h"
#include "share/ShareHub.h"
#include "sim/SimulatedMeter.h"
#include "usb/driver/VirtualUsbDriver.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QtTest>
#include <functional>
#include <memory>

namespace zelmora::test {

class WindowFixture {
public:
    // Meters plugged in before the window opens; the window lists them at
    // start-up. `tuning` speeds up the meter link's poll or shrinks its queue.
    // `makeSources`, when given, makes the sources the window opens its
    // meters through (as the program passes its share hub).
    using SourcesMaker = std::function<std::shared_ptr<MeterSources>(UsbDriver&)>;
    // The window shares its meters with the user's other processes as the
    // program does, through a hub of its own (so that two fixtures are two
    // processes' windows).
    static SourcesMaker SharedHub(CDeviceLink::TestTuning tuning = {}) {
        return [tuning](UsbDriver& driver) -> std::shared_ptr<MeterSources> {
            CShareHub::Settings settings;
            settings.program = "zelmora";
            settings.pollSpeedUp = tuning.pollSpeedUp;
            return std::make_shared<CShareHub>(driver, std::move(settings));
        };
    }
    explicit WindowFixture(const std::vector<std::shared_ptr<SimulatedMeter>>& meters = {},
                           CDeviceLink::TestTuning tuning = {},
                           const SourcesMaker& makeSources = {}) {
        for (const auto& meter : meters) {
            meter->PlugInto(m_driver);
        }
        m_window = std::make_unique<CZelmoraDlg>(m_driver, nullptr, tuning, nullptr,
                                                 makeSources ? makeSources(m_driver) : nullptr);
        m_window->show();
        m_window->activateWindow();
        m_active = QTest::qWaitForWindowActive(m_window.get());
    }

    static std::shared_ptr<SimulatedMeter> Meter(std::string id, std::string probe,
                                                 double power = 0.012,
                                                 std::uint16_t wavelength = 1064) {
        SimulatedMeter::Config config;
        config.meterId = std::move(id);
        config.probeModel = std::move(probe);
        config.wavelength = wavelength;
        config.signal = SignalModel::Constant(power);
        return std::make_shared<SimulatedMeter>(std::move(config));
    }

    bool IsActive() const { return m_active; }
    CZelmoraDlg& Window() { return *m_window; }
    VirtualUsbDriver& Driver() { return m_driver; }

    QWidget* Control(int id) const { return m_window->GetControl(id); }
    template <class Widget>
    Widget* As(int id) const {
        return qobject_cast<Widget*>(Control(id));
    }

    // The text a control shows, whatever its kind.
    QString Text(int id) const {
        QWidget* control = Control(id);
        if (auto* edit = qobject_cast<QLineEdit*>(control)) {
            return edit->text();
        }
        if (auto* multiLine = qobject_cast<QPlainTextEdit*>(control)) {
            return multiLine->toPlainText();
        }
        if (auto* label = qobject_cast<QLabel*>(control)) {
            return label->text();
        }
        if (auto* button = qobject_cast<QAbstractButton*>(control)) {
            return button->text();
        }
        if (auto* list = qobject_cast<QComboBox*>(control)) {
            return list->currentText();
        }
        return {};
    }

    bool IsChecked(int id) const { return As<QAbstractButton>(id)->isChecked(); }

    void Click(int id) const { QTest::mouseClick(Control(id), Qt::LeftButton); }

    // Clicks the window's own background, away from every control.
    void ClickBackground() const {
        QTest::mouseClick(m_window.get(), Qt::LeftButton, {},
                          QPoint(m_window->width() - 4, m_window->height() - 4));
    }

    // Gives the box the focus, replaces its text by typing, and leaves the
    // focus there.
    void Type(int id, const QString& text) const {
        QWidget* box = Control(id);
        box->setFocus(Qt::MouseFocusReason);
        As<QLineEdit>(id)->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
        QTest::keyClicks(box, text);
    }

    // Types into a box and commits it by pressing Enter.
    void Enter(int id, const QString& text) const {
        Type(id, text);
        QTest::keyClick(Control(id), Qt::Key_Return);
    }

    // Picks a list entry with the keyboard, as the operator may.
    void Select(int listId, int index) const {
        QWidget* list = Control(listId);
        list->setFocus(Qt::TabFocusReason);
        QTest::keyClick(list, Qt::Key_Home);
        for (int i = 0; i < index; ++i) {
            QTest::keyClick(list, Qt::Key_Down);
        }
    }

private:
    VirtualUsbDriver m_driver;
    // After the driver it polls, before the window that opens meters on it.
    std::unique_ptr<CZelmoraDlg> m_window;
    bool m_active = false;
};

} // namespace zelmora::test
