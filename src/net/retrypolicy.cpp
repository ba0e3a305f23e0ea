#include "net/retrypolicy.h"

#include "common/eventwait.h"
#include "net/transfercodes.h"

#include <QRandomGenerator>
#include <QTimer>

#include <curl/curl.h>

#include <utility>

RetryPolicy::RetryPolicy(QList<int> pausesMs, int jitterMs) : m_pausesMs(std::move(pausesMs)), m_jitterMs(jitterMs)
{
}

bool RetryPolicy::isRetryable(int code)
{
    switch (code) {
    case TransferCode::Truncated:
    case TransferCode::Unbounded:
    case TransferCode::NetworkErrorBase + CURLE_GOT_NOTHING:
    case TransferCode::NetworkErrorBase + CURLE_SEND_ERROR:
    case TransferCode::NetworkErrorBase + CURLE_RECV_ERROR:
    case TransferCode::NetworkErrorBase + CURLE_HTTP2:
    case TransferCode::NetworkErrorBase + CURLE_HTTP2_STREAM: return true;
    default: return code >= 500 && code < 600;
    }
}

std::optional<int> RetryPolicy::nextPauseMs(int code)
{
    if (!isRetryable(code) || m_used >= m_pausesMs.size())
        return std::nullopt;
    const int jitter = m_jitterMs > 0 ? static_cast<int>(QRandomGenerator::global()->bounded(m_jitterMs + 1)) : 0;
    return m_pausesMs.at(m_used++) + jitter;
}

bool RetryPolicy::wait(int ms)
{
    EventWait wait;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &timer, [&wait] { wait.finish(); });
    timer.start(ms);
    return wait.wait();
}
