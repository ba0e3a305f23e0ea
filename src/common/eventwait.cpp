#include "common/eventwait.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>

#include <memory>
#include <vector>

namespace {

// Whether the event is the user's input. What the window system brings
// reaches a window first (widgets hear of it from their window), so only
// what is sent to a window counts, except for the shortcut that keys
// matched and the text an input method made of them, which go straight to
// their receivers. The shortcut override is only a question to the focus
// widget: it is answered, so that a shortcut held back is the one that
// would have run. Entering and leaving count when the window system says
// so, not when Qt makes them up (the window under the pointer is left when
// a box opens over it).
bool isUserInput(const QObject *receiver, const QEvent *event)
{
    switch (event->type()) {
    case QEvent::Shortcut:
    case QEvent::InputMethod: return true;
    case QEvent::ShortcutOverride: return false;
    case QEvent::Enter:
    case QEvent::Leave: return event->spontaneous() && receiver->isWindowType();
    default: return event->isInputEvent() && receiver->isWindowType();
    }
}

// Whether Qt makes mouse events of the event when no widget takes it.
bool makesMouseEvents(const QEvent *event)
{
    switch (event->type()) {
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease: return true;
    default: return false;
    }
}

// Holds back the user's input that one event-loop level delivers, for as
// long as it lives (an application event filter on the thread of the
// application object), and then posts copies again in their order.
class InputHold final : public QObject
{
public:
    explicit InputHold(int loopLevel) : m_loopLevel(loopLevel)
    {
        if (QCoreApplication *application = QCoreApplication::instance();
            application && application->thread() == QThread::currentThread()) {
            m_application = application;
            m_application->installEventFilter(this);
        }
    }

    ~InputHold() override
    {
        if (m_application)
            m_application->removeEventFilter(this);
        for (Held &held : m_held) {
            if (held.receiver)
                QCoreApplication::postEvent(held.receiver, held.event.release());
        }
    }

    InputHold(const InputHold &) = delete;
    InputHold &operator=(const InputHold &) = delete;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // A box opened during the wait runs a loop of its own, one level
        // deeper: its input goes through.
        if (!isUserInput(watched, event) || QThread::currentThread()->loopLevel() != m_loopLevel)
            return false;
        // Qt 6.4's copy of a pointer event shares its point with the
        // device's current one, which the next pointer event moves on: a
        // press held while the pointer moves away is handed back with its
        // own position but the scene position of the next event. (Later Qt
        // copies the point.) A click, pressed and released in one place,
        // is handed back as it was.
        m_held.push_back({watched, std::unique_ptr<QEvent>(event->clone())});
        // Qt makes mouse events of a touch or a pen stroke that nobody took,
        // and only now: marked as not taken, the original yields them, and
        // they are held back after it. (A widget that takes touches itself
        // would hear of both.)
        if (makesMouseEvents(event))
            event->ignore();
        return true;
    }

private:
    struct Held
    {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };

    int m_loopLevel = 0;
    QPointer<QCoreApplication> m_application;
    std::vector<Held> m_held;
};

} // namespace

EventWait::EventWait() = default;

EventWait::~EventWait()
{
    // A finish() under way on another thread ends before the loop goes.
    const std::lock_guard lock(m_mutex);
}

void EventWait::finish()
{
    const std::lock_guard lock(m_mutex);
    m_finished = true;
    if (!m_looping)
        return;
    // By name: the analyzer cannot see that Qt takes over the slot object of
    // the pointer-to-member form.
    QMetaObject::invokeMethod(&m_loop, "quit", Qt::QueuedConnection);
}

bool EventWait::wait()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_finished)
            return true;
        m_looping = true;
    }
    {
        const InputHold hold(QThread::currentThread()->loopLevel() + 1);
        // A finish() from now on quits the loop, whether it has started
        // yet or not. The loop also ends when the program quits; while it quits,
        // exec() returns at once.
        m_loop.exec();
    }
    const std::lock_guard lock(m_mutex);
    return m_finished;
}
