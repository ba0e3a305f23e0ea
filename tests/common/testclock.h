#pragma once

#include "common/clock.h"

#include <QList>

#include <functional>

// A clock for tests: time stamps move on by a quarter second at every
// reading, and sleeps are recorded instead of waited (unless `realSleep`).
class TestClock : public Clock
{
public:
    double secondsSinceMidnight() const override
    {
        m_now += 0.25;
        return m_now;
    }
    void sleepMs(int milliseconds) override;

    QList<int> sleeps;
    bool realSleep = false;
    // Runs at every sleep, after it is recorded.
    std::function<void()> onSleep;

private:
    mutable double m_now = 3600.0;
};
