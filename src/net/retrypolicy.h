#pragma once

#include <QList>

#include <optional>

// When a download that failed is tried again, and after how long: a
// connection that broke off or a server error (5xx) gets another attempt
// after each of the pauses in turn, each lengthened by a random part of up
// to jitterMs, so that machines failed by one outage do not all come back at
// the same moment.
class RetryPolicy
{
public:
    RetryPolicy(QList<int> pausesMs, int jitterMs);

    // Worth another attempt: a failure of that code may not happen again.
    static bool isRetryable(int code);

    // The pause before the next attempt after a failure with `code`, or
    // nothing when that failure is not tried again or no pause is left.
    // Each pause is handed out once.
    std::optional<int> nextPauseMs(int code);

    // Waits `ms` while the window paints; false when the program is
    // quitting.
    static bool wait(int ms);

private:
    QList<int> m_pausesMs;
    int m_jitterMs = 0;
    qsizetype m_used = 0;
};
