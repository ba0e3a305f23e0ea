#pragma once

#include <QEventLoop>

#include <mutex>

// A wait on the window's thread for something that ends elsewhere: a
// transfer on a thread of its own, a call on the database's worker thread,
// a timer. Nothing spins: the caller runs a local event loop, and finish()
// ends it with a queued quit.
//
// Every event is processed meanwhile, so the window paints, timers run and
// a close of the window reaches it at once (the window system counts a
// close among the user's input, so the close cannot simply wait with it).
// The user's input itself (mouse, keys, wheel, touch, tablet, context menu,
// shortcuts, the pointer entering and leaving a window, text from an input
// method) is neither handled nor lost: what the wait's own loop would
// deliver is held back, and copies are posted again in their order when
// the wait ends, so that they are handled where the caller next processes
// pending events. Input for a box opened during the wait, which runs an
// event loop of its own, is not held.
//
// One wait per object.
class EventWait
{
public:
    EventWait();
    ~EventWait();
    EventWait(const EventWait &) = delete;
    EventWait &operator=(const EventWait &) = delete;

    // Ends the wait; from any thread, before wait() or while it runs.
    void finish();
    // Returns when finish() has been called: true. False when the program
    // quits first (its event loops end, and no new one runs).
    bool wait();

private:
    std::mutex m_mutex;
    bool m_finished = false;
    bool m_looping = false; // finish() quits the loop
    QEventLoop m_loop;
};
