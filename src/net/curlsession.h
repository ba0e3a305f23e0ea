#pragma once

#include "common/failure.h"
#include "net/proxychoice.h"
#include "net/transfercodes.h"

#include <QByteArray>
#include <QList>
#include <QUrl>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

class QFile;

// The final answer of an attempt as its headers described it (after
// redirects and interim answers, the last one).
struct Response
{
    long status = 0;
    QByteArray reason; // the status line's reason phrase ("Not Found")
    QByteArray contentType;
    QByteArray etag;
    QByteArray lastModified;
    QByteArray encoding;  // Content-Encoding ("gzip"); empty for the bytes as they are
    bool chunked = false; // Transfer-Encoding: chunked
    qint64 contentLength = -1;
    qint64 rangeStart = -1; // a 206 answer's first byte

    bool success() const { return status >= 200 && status < 300; }
};

// The stall rule: a transfer that brings less than bytesPerSecond over any
// window of windowMs has stalled. It measures the server: the time the
// transfer spends held back by the tool's own rate limit is not counted
// (libcurl's low-speed limit would count it).
class StallRule
{
public:
    using Clock = std::chrono::steady_clock;

    StallRule() = default;
    StallRule(qint64 bytesPerSecond, int windowMs, Clock::time_point start = Clock::now())
        : m_bytesPerSecond(bytesPerSecond), m_windowMs(windowMs), m_windowStart(start)
    {
    }
    // Whether the transfer has stalled at `now`, `received` bytes in so far.
    bool stalled(qint64 received, Clock::time_point now = Clock::now());
    // The transfer was held back by the tool itself for this long.
    void held(Clock::duration duration) { m_windowStart += duration; }

private:
    qint64 m_bytesPerSecond = 0;
    int m_windowMs = 0; // 0: no rule
    Clock::time_point m_windowStart = Clock::now();
    qint64 m_windowBytes = 0;
};

// The tool's own rate limit: after each piece of the body the transfer
// waits until the bytes so far fit the rate, so a file smaller than one
// network read is held to it too.
class Pacer
{
public:
    using Clock = std::chrono::steady_clock;

    explicit Pacer(qint64 bytesPerSecond = 0) : m_bytesPerSecond(bytesPerSecond) {}
    bool active() const { return m_bytesPerSecond > 0; }
    // How long to wait, at `now`, after `bytes` more bytes have arrived.
    Clock::duration delayAfter(qint64 bytes, Clock::time_point now = Clock::now());

private:
    qint64 m_bytesPerSecond = 0;
    qint64 m_bytes = 0;
    std::optional<Clock::time_point> m_start;
};

// One request of a transfer and what became of it. It is shared between
// the thread that waits and the thread that runs libcurl: before the
// transfer starts and after it has ended only the waiting thread touches
// it; meanwhile only the atomics are shared.
struct TransferAttempt
{
    // What is asked.
    QUrl url;
    // Where the body goes: a file (appended to from `base`) or memory.
    QFile *file = nullptr;
    QByteArray *text = nullptr;
    // Bytes already in the file: only the rest is asked for (Range), if the
    // file on the server still has `validator` (If-Range). A whole answer
    // instead starts the file over.
    qint64 base = 0;
    QByteArray validator;
    qint64 limit = 0;  // the largest body accepted, base included
    qint64 exact = -1; // the size the release lists, base included; -1: none
    int timeoutMs = 0; // the whole request, less the rate limit's waits; 0 for no limit
    Pacer pacer;       // the rate limit
    StallRule stall;

    // What became of it.
    CURL *easy = nullptr; // the handle that runs it
    Response response;
    qint64 written = 0;            // body bytes written by this attempt
    int forced = TransferCode::Ok; // the code our own rules ended it with
    bool otherFile = false;        // a 206 of another file, or of another range
    StallRule::Clock::time_point started = StallRule::Clock::now();
    StallRule::Clock::duration held{}; // time spent waiting for the rate limit
    CURLcode result = CURLE_OK;
    char error[CURL_ERROR_SIZE] = {};
    // The proxy it went through (empty: none), the status its CONNECT was
    // answered with, and the sign-in schemes the proxy's last answer
    // offered (its Proxy-Authenticate headers).
    QUrl proxy;
    long connectStatus = 0;
    QList<QByteArray> proxySchemes;

    std::atomic<bool> cancel{false};
    std::atomic<qint64> received{0};
    std::atomic<qint64> total{-1};

    void force(int code);
    // Waits on the libcurl thread for the rate limit.
    void hold(StallRule::Clock::duration duration);
    // Why it failed, as a code of net/transfercodes.h and a sentence;
    // {0, ""} when it did not.
    Failure failure() const;
    // Whether the proxy refused it for want of a sign-in (407), on the
    // tunnel's CONNECT or on the request.
    bool proxyRefused() const;
};

// The libcurl side of the web transfers: a handle kept between transfers
// (so that a connection is used again) and the trust every transfer is
// given.
class CurlSession
{
public:
    // extraAuthorities: a PEM file of authorities trusted beside the
    // system's; empty for the system's alone.
    explicit CurlSession(const QString &extraAuthorities);
    ~CurlSession();
    void setProxy(ProxyChoice proxy) { m_proxy = std::move(proxy); }
    // See WebClient::libraryText.
    static QString libraryText();
    const ProxyChoice &proxy() const { return m_proxy; }
    CurlSession(const CurlSession &) = delete;
    CurlSession &operator=(const CurlSession &) = delete;

    // A libcurl handle for one transfer: the session's own, or a fresh one
    // while the session's is busy with the transfer this one runs inside
    // of.
    class Handle
    {
    public:
        explicit Handle(CurlSession &session);
        ~Handle();
        Handle(const Handle &) = delete;
        Handle &operator=(const Handle &) = delete;

        explicit operator bool() const { return m_easy != nullptr; }
        // Runs the attempt to its end on a thread of its own while this one
        // waits with the window painting; `progress` runs on this thread as
        // bytes arrive: the bytes of the body so far and its whole size, -1
        // while it is not known.
        void run(TransferAttempt &attempt, const std::function<void(qint64, qint64)> &progress);

    private:
        void prepare(TransferAttempt &attempt, curl_slist *headers);
        void perform(TransferAttempt &attempt, const std::function<void(qint64, qint64)> &progress);

        CurlSession &m_session;
        CURL *m_easy = nullptr;
        CURL *m_fresh = nullptr;
        bool m_ownsShared = false;
    };

private:
    CURL *m_easy = nullptr;
    bool m_easyInUse = false;
    QByteArray m_authorities;
    ProxyChoice m_proxy;
};
