#pragma once
// Driving the Qt backend from a test: the offscreen platform, the application
// object, and a timer that works the widgets while a modal call runs.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>

namespace ostrel::test {

// The application the backend module finds and uses; made once per process.
inline void EnsureQtApplication() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("OSTREL_UI", "qt", 1);
    if (QApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "ostrel-test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

// The visible top-level widget with this object name, or null.
template <typename W = QWidget>
W* VisibleTopLevel(const QString& objectName) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == objectName && w->isVisible()) return qobject_cast<W*>(w);
    return nullptr;
}

// Calls `step` from the event loop every few milliseconds until it returns
// true; a step that fails an assertion should return true to stop.
class UiDriver {
public:
    explicit UiDriver(std::function<bool()> step) : m_step(std::move(step)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (!m_done && m_step()) {
                m_done = true;
                m_timer.stop();
            }
        });
        m_timer.start();
    }
    bool Done() const { return m_done; }

private:
    std::function<bool()> m_step;
    QTimer m_timer;
    bool m_done = false;
};

}  // namespace ostrel::test
