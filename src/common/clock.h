#pragma once

// Time as the actions see it: the time stamp that keeps caches away, and the
// short sleeps of the download animation and the delete retries. Injected so
// tests can record sleeps instead of waiting.
class Clock
{
public:
    virtual ~Clock() = default;
    // Seconds since local midnight, with fraction.
    virtual double secondsSinceMidnight() const = 0;
    virtual void sleepMs(int milliseconds) = 0;
};

class SystemClock final : public Clock
{
public:
    double secondsSinceMidnight() const override;
    void sleepMs(int milliseconds) override;
};
