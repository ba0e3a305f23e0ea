#pragma once

#include <QtGlobal>

#include <ctime>

// Processor time this test program has used, in milliseconds, over all its
// threads. Speed checks measure it rather than wall time, so that other
// programs sharing the machine's cores do not make them fail.
inline qint64 cpuTimeMs()
{
    return qint64(std::clock()) * 1000 / CLOCKS_PER_SEC;
}
