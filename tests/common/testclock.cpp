#include "common/testclock.h"

#include <QThread>

void TestClock::sleepMs(int milliseconds)
{
    sleeps << milliseconds;
    if (realSleep)
        QThread::msleep(static_cast<unsigned long>(milliseconds));
    if (onSleep)
        onSleep();
}
