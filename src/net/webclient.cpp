#include "net/webclient.h"

#include "common/failure.h"
#include "common/fileops.h"
#include "common/textencoding.h"
#include "net/systemnet.h"
#include "net/transfercodes.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <thread>

#ifndef UPDATER_VERSION
#define UPDATER_VERSION "0"
#endif

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 10;
constexpr long kReceiveBufferBytes = 512L * 1024;
// How often the waiting thread passes progress on.
constexpr int kProgressIntervalMs = 50;

// One response as its headers described it (the last one after redirects).
struct Response
{
    long status = 0;
    QByteArray reason;
    QByteArray contentType;
    QByteArray etag;
    QByteArray lastModified;
    qint64 contentLength = -1;
    qint64 rangeStart = -1;
    bool headersDone = false;

    bool success() const { return status >= 200 && status < 300; }
};

// What one attempt of a transfer shares between the thread that waits and
// the thread that runs libcurl. Before the transfer starts and after it has
// ended only the waiting thread touches it; meanwhile only the atomics are
// shared.
struct Attempt
{
    // Where the body goes: a file (appended to from `base`) or memory.
    QFile *file = nullptr;
    QByteArray *text = nullptr;
    qint64 base = 0; // bytes already in the file, asked to be resumed
    qint64 limit = 0;
    // The stall rule: slower than stallRate bytes a second over stallMs has
    // stalled.
    qint64 stallRate = 0;
    int stallMs = 0;

    Response response;
    qint64 written = 0; // body bytes written by this attempt
    int forced = TransferCode::Ok;
    CURLcode result = CURLE_OK;
    char error[CURL_ERROR_SIZE] = {};

    SteadyClock::time_point windowStart = SteadyClock::now();
    qint64 windowBytes = 0;

    std::atomic<bool> cancel{false};
    std::atomic<qint64> received{0};
    std::atomic<qint64> total{-1};

    void force(int code)
    {
        if (forced == TransferCode::Ok)
            forced = code;
    }
};

QByteArray headerValue(const QByteArray &line)
{
    return line.mid(line.indexOf(':') + 1).trimmed();
}

size_t onHeader(char *buffer, size_t size, size_t count, void *user)
{
    auto &attempt = *static_cast<Attempt *>(user);
    const size_t bytes = size * count;
    const QByteArray line = QByteArray(buffer, static_cast<qsizetype>(bytes)).trimmed();
    Response &response = attempt.response;
    if (line.startsWith("HTTP/")) {
        // A new response: the one before was a redirect or an interim one.
        response = Response();
        const QList<QByteArray> parts = line.split(' ');
        response.status = parts.value(1).toLong();
        response.reason = line.mid(line.indexOf(' ', line.indexOf(' ') + 1) + 1).trimmed();
        if (parts.size() < 3)
            response.reason.clear();
        return bytes;
    }
    if (!line.isEmpty()) {
        const QByteArray name = line.left(line.indexOf(':')).trimmed().toLower();
        if (name == "content-type")
            response.contentType = headerValue(line);
        else if (name == "etag")
            response.etag = headerValue(line);
        else if (name == "last-modified")
            response.lastModified = headerValue(line);
        else if (name == "content-length")
            response.contentLength = headerValue(line).toLongLong();
        else if (name == "content-range" && headerValue(line).startsWith("bytes "))
            response.rangeStart = headerValue(line).mid(6).split('-').value(0).toLongLong();
        return bytes;
    }
    // The end of the headers.
    response.headersDone = true;
    if (!response.success())
        return bytes;
    if (attempt.file) {
        if (response.status == 206 && response.rangeStart != attempt.base) {
            // Not the range asked for: nothing of it can be used.
            attempt.force(TransferCode::Truncated);
            return 0;
        }
        if (response.status != 206 && attempt.base > 0) {
            // The whole file instead of the rest: it starts over.
            attempt.base = 0;
            if (!attempt.file->resize(0) || !attempt.file->seek(0)) {
                attempt.force(TransferCode::LocalFile);
                return 0;
            }
        }
    }
    const qint64 whole = response.contentLength < 0 ? -1 : attempt.base + response.contentLength;
    if (whole > attempt.limit) {
        attempt.force(TransferCode::TooLarge);
        return 0;
    }
    attempt.total.store(whole);
    attempt.received.store(attempt.base);
    return bytes;
}

size_t onBody(char *data, size_t size, size_t count, void *user)
{
    auto &attempt = *static_cast<Attempt *>(user);
    const size_t bytes = size * count;
    const auto length = static_cast<qint64>(bytes);
    if (!attempt.response.success())
        return bytes; // an error page is not the file
    if (attempt.base + attempt.written + length > attempt.limit) {
        attempt.force(TransferCode::TooLarge);
        return 0;
    }
    if (attempt.file) {
        if (attempt.file->write(data, length) != length) {
            attempt.force(TransferCode::LocalFile);
            return 0;
        }
    } else {
        attempt.text->append(data, length);
    }
    attempt.written += length;
    attempt.received.store(attempt.base + attempt.written);
    return bytes;
}

int onProgress(void *user, curl_off_t /*downTotal*/, curl_off_t /*downNow*/, curl_off_t /*upTotal*/,
               curl_off_t /*upNow*/)
{
    auto &attempt = *static_cast<Attempt *>(user);
    if (attempt.cancel.load()) {
        attempt.force(TransferCode::Interrupted);
        return 1;
    }
    if (attempt.stallMs > 0) {
        const SteadyClock::time_point now = SteadyClock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - attempt.windowStart).count();
        if (elapsed >= attempt.stallMs) {
            if ((attempt.written - attempt.windowBytes) * 1000 < attempt.stallRate * elapsed) {
                attempt.force(TransferCode::TimedOut);
                return 1;
            }
            attempt.windowStart = now;
            attempt.windowBytes = attempt.written;
        }
    }
    return 0;
}

// The code for a transport failure libcurl reports.
int codeFor(CURLcode result)
{
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT: return TransferCode::TimedOut;
    case CURLE_FILESIZE_EXCEEDED: return TransferCode::TooLarge;
    case CURLE_WRITE_ERROR: return TransferCode::LocalFile;
    case CURLE_PARTIAL_FILE: return TransferCode::Truncated;
    case CURLE_URL_MALFORMAT: return TransferCode::BadUrl;
    // Only https is ever asked for, so another protocol comes from a
    // redirect.
    case CURLE_UNSUPPORTED_PROTOCOL: return TransferCode::RefusedRedirect;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return TransferCode::Certificate;
    default: return TransferCode::NetworkErrorBase + static_cast<int>(result);
    }
}

// Why an attempt failed, as a code and a sentence; code 0 when it did not.
Failure outcome(const Attempt &attempt, const QUrl &url)
{
    const QString where = QStringLiteral(" (") + url.toDisplayString() + QLatin1Char(')');
    int code = attempt.forced;
    if (code == TransferCode::Ok && attempt.result != CURLE_OK)
        code = codeFor(attempt.result);
    if (code == TransferCode::Ok && !attempt.response.success() && attempt.response.status != 0) {
        const auto status = static_cast<int>(attempt.response.status);
        return {status,
                QStringLiteral("The server answered %1 %2 for %3")
                    .arg(status)
                    .arg(QString::fromLatin1(attempt.response.reason), url.toDisplayString())
                    .simplified()};
    }
    if (code == TransferCode::Ok && attempt.response.contentLength >= 0
        && attempt.written != attempt.response.contentLength)
        code = TransferCode::Truncated;
    if (code == TransferCode::Ok)
        return {TransferCode::Ok, QString()};
    QString text = TransferCode::describe(code);
    const QString detail = QString::fromUtf8(attempt.error).trimmed();
    if (!detail.isEmpty() && attempt.forced == TransferCode::Ok)
        text += QStringLiteral(" ") + detail;
    return {code, text + where};
}

bool isHttps(const QUrl &url)
{
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

// Worth another attempt: a connection that broke off, or a server error.
bool isRetryable(int code)
{
    switch (code) {
    case TransferCode::Truncated:
    case TransferCode::NetworkErrorBase + CURLE_GOT_NOTHING:
    case TransferCode::NetworkErrorBase + CURLE_SEND_ERROR:
    case TransferCode::NetworkErrorBase + CURLE_RECV_ERROR:
    case TransferCode::NetworkErrorBase + CURLE_HTTP2:
    case TransferCode::NetworkErrorBase + CURLE_HTTP2_STREAM: return true;
    default: return code >= 500 && code < 600;
    }
}

// The validator a resumed request is guarded by: a strong ETag, else the
// Last-Modified date; empty when the server gave neither.
QByteArray validatorOf(const Response &response)
{
    if (!response.etag.isEmpty() && !response.etag.startsWith("W/"))
        return response.etag;
    return response.lastModified;
}

QString infoPath(const QString &partPath)
{
    return partPath + QStringLiteral(".info");
}

// What a kept partial download was fetched from, and its validator.
struct PartialInfo
{
    QByteArray url;
    QByteArray validator;
};

PartialInfo readInfo(const QString &partPath)
{
    QFile file(infoPath(partPath));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    return {lines.value(0), lines.value(1)};
}

bool writeInfo(const QString &partPath, const PartialInfo &info)
{
    QFile file(infoPath(partPath));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(info.url + '\n' + info.validator + '\n') > 0;
}

void removePartial(const QString &partPath)
{
    QFile::remove(partPath);
    QFile::remove(infoPath(partPath));
}

} // namespace

// The libcurl handle (kept between transfers, so a connection can be used
// again) and the trust handed to every transfer.
struct WebClient::Session
{
    CURL *easy = nullptr;
    bool easyInUse = false;
    QByteArray authorities; // PEM; empty: the system's own
};

namespace {

// A libcurl handle for one transfer: the session's own, or a fresh one
// while the session's is busy with the transfer this one runs inside of.
class Handle
{
public:
    Handle(CURL *&shared, bool &sharedInUse) : m_inUse(sharedInUse)
    {
        if (!sharedInUse && shared) {
            m_easy = shared;
            m_ownsUse = true;
            sharedInUse = true;
        } else {
            m_fresh = curl_easy_init();
            m_easy = m_fresh;
        }
    }
    ~Handle()
    {
        if (m_ownsUse)
            m_inUse = false;
        if (m_fresh)
            curl_easy_cleanup(m_fresh);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    CURL *get() const { return m_easy; }

private:
    bool &m_inUse;
    CURL *m_easy = nullptr;
    CURL *m_fresh = nullptr;
    bool m_ownsUse = false;
};

} // namespace

TransferOptions TransferOptions::fromEnvironment()
{
    TransferOptions options;
    options.caFile = qEnvironmentVariable("UPDATER_CA_FILE");
    return options;
}

WebClient::WebClient(TransferOptions options) : m_options(std::move(options)), m_session(std::make_unique<Session>())
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised == CURLE_OK)
        m_session->easy = curl_easy_init();
    if (!m_options.caFile.isEmpty()) {
        QFile extra(m_options.caFile);
        if (extra.open(QIODevice::ReadOnly))
            m_session->authorities = SystemNet::trustedAuthoritiesPem() + '\n' + extra.readAll();
    }
}

WebClient::~WebClient()
{
    if (m_session->easy)
        curl_easy_cleanup(m_session->easy);
}

void WebClient::setMaxBytesPerSecond(qint64 bytesPerSecond)
{
    m_options.maxBytesPerSecond = qMax(qint64{0}, bytesPerSecond);
}

QString WebClient::partialPath(const QString &localPath)
{
    return localPath + QStringLiteral(".part");
}

namespace {

// Sets up the handle for one attempt at url.
void prepare(CURL *easy, Attempt &attempt, const QUrl &url, const TransferOptions &options,
             const QByteArray &authorities, curl_slist *headers)
{
    curl_easy_reset(easy);
    const QByteArray address = url.toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, address.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Vantora-Updater/" UPDATER_VERSION);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!authorities.isEmpty()) {
        // curl's blob has no const data, but with CURL_BLOB_NOCOPY it only
        // reads them.
        char *data = const_cast<char *>(authorities.constData()); // NOLINT(cppcoreguidelines-pro-type-const-cast)
        curl_blob blob{data, static_cast<size_t>(authorities.size()), CURL_BLOB_NOCOPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
    if (const std::optional<QByteArray> proxy = SystemNet::proxyFor(url))
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy->constData());
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    if (options.maxBytesPerSecond > 0)
        curl_easy_setopt(easy, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(options.maxBytesPerSecond));
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(attempt.limit));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, attempt.error);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &attempt);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &attempt);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &attempt);
    if (headers)
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
}

// Runs the prepared transfer on a thread of its own and waits for it in a
// local event loop that leaves user input queued. `progress` runs on this
// thread as bytes arrive.
void perform(CURL *easy, Attempt &attempt, const std::function<void(qint64, qint64)> &progress)
{
    QEventLoop loop;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        attempt.result = curl_easy_perform(easy);
        done.store(true);
        // By name: the analyzer cannot see that Qt takes over the slot object of
        // the pointer-to-member form.
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    QTimer tick;
    if (progress) {
        QObject::connect(&tick, &QTimer::timeout, &loop,
                         [&] { progress(attempt.received.load(), attempt.total.load()); });
        tick.start(kProgressIntervalMs);
    }
    while (!done.load()) {
        // The loop also ends when the program quits: then the transfer is
        // stopped, for it has no one left to wait for it.
        if (loop.exec(QEventLoop::ExcludeUserInputEvents) != 0 || !done.load()) {
            if (!done.load())
                attempt.cancel.store(true);
            break;
        }
    }
    worker.join();
    tick.stop();
    if (progress && attempt.forced == TransferCode::Ok && attempt.result == CURLE_OK)
        progress(attempt.received.load(), attempt.total.load());
}

// Waits `ms` with the window painting; false when the program is quitting.
bool pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, [&loop] { loop.exit(0); });
    return loop.exec(QEventLoop::ExcludeUserInputEvents) == 0;
}

} // namespace

QString WebClient::fetchText(const QUrl &url)
{
    if (!isHttps(url))
        throw Failure{TransferCode::BadUrl, TransferCode::describe(TransferCode::BadUrl)};
    const Handle easy(m_session->easy, m_session->easyInUse);
    if (!easy.get()) {
        const int code = TransferCode::NetworkErrorBase + CURLE_FAILED_INIT;
        throw Failure{code, TransferCode::describe(code)};
    }

    QByteArray body;
    Attempt attempt;
    attempt.text = &body;
    attempt.limit = m_options.maxTextBytes;
    prepare(easy.get(), attempt, url, m_options, m_session->authorities, nullptr);
    curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(m_options.requestTimeoutMs));
    QElapsedTimer timer;
    timer.start();
    perform(easy.get(), attempt, {});

    const Failure failure = outcome(attempt, url);
    report({false, url, body.size(), timer.elapsed(), 1, failure.number, failure.description});
    if (failure.number != TransferCode::Ok)
        throw failure;
    return TextRules::decode(body);
}

void WebClient::setObserver(std::function<void(const TransferRecord &)> observer)
{
    m_observer = std::move(observer);
}

void WebClient::report(const TransferRecord &record) const
{
    if (m_observer)
        m_observer(record);
}

QString TransferRecord::summary() const
{
    const QString what = (download ? QStringLiteral("download ") : QStringLiteral("fetch ")) + url.toDisplayString()
        + QStringLiteral(": %1 bytes in %2 ms").arg(bytes).arg(milliseconds);
    const QString tries = attempts > 1 ? QStringLiteral(", %1 attempts").arg(attempts) : QString();
    if (code == TransferCode::Ok)
        return what + tries + QStringLiteral(": done");
    return what + tries + QStringLiteral(": failed with code %1: %2").arg(code).arg(reason);
}

int WebClient::downloadToFile(const QUrl &url, const QString &localPath, const DownloadOptions &options)
{
    QElapsedTimer timer;
    timer.start();
    TransferRecord record;
    record.download = true;
    record.url = url;
    record.code = download(url, localPath, options, record);
    record.milliseconds = timer.elapsed();
    if (record.code != TransferCode::Ok && record.reason.isEmpty())
        record.reason = TransferCode::describe(record.code);
    if (record.code == TransferCode::Ok)
        record.reason.clear();
    report(record);
    return record.code;
}

int WebClient::download(const QUrl &url, const QString &localPath, const DownloadOptions &options,
                        TransferRecord &record)
{
    if (!isHttps(url))
        return TransferCode::BadUrl;
    const Handle easy(m_session->easy, m_session->easyInUse);
    if (!easy.get())
        return TransferCode::NetworkErrorBase + CURLE_FAILED_INIT;

    const QString part = partialPath(localPath);
    const QByteArray address = url.toEncoded();
    // Bytes kept from an earlier call count only when they came from the
    // same address and the server said how to tell whether it changed.
    PartialInfo info = readInfo(part);
    if (!options.keepPartial || info.url != address || info.validator.isEmpty())
        removePartial(part);

    QFile file(part);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append))
        return TransferCode::LocalFile;

    int code = TransferCode::Ok;
    QByteArray contentType;
    qsizetype retries = 0;
    bool restarted = false;
    for (;;) {
        Attempt attempt;
        attempt.file = &file;
        attempt.limit = options.maxBytes;
        attempt.stallRate = m_options.stallBytesPerSecond;
        attempt.stallMs = m_options.stallTimeoutMs;
        attempt.base = info.validator.isEmpty() ? 0 : file.size();
        curl_slist *headers = nullptr;
        if (attempt.base > 0) {
            headers = curl_slist_append(headers, ("If-Range: " + info.validator).constData());
        } else if (file.size() > 0 && (!file.resize(0) || !file.seek(0))) {
            code = TransferCode::LocalFile;
            break;
        }
        prepare(easy.get(), attempt, url, m_options, m_session->authorities, headers);
        const QByteArray range = QByteArray::number(attempt.base) + '-';
        if (attempt.base > 0)
            curl_easy_setopt(easy.get(), CURLOPT_RANGE, range.constData());
        perform(easy.get(), attempt, options.progress);
        curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(headers);
        if (!file.flush()) {
            attempt.force(TransferCode::LocalFile);
        }

        const Failure failure = outcome(attempt, url);
        code = failure.number;
        record.reason = failure.description;
        ++record.attempts;
        record.bytes = file.size();
        contentType = attempt.response.contentType;
        // What is in the file now can be resumed if the server named a
        // validator for it.
        info = {address, attempt.response.success() ? validatorOf(attempt.response) : info.validator};
        if (code == TransferCode::Ok)
            break;
        if (code == 416 && attempt.base > 0 && !restarted) {
            // The kept bytes are no part of the file as it is now.
            restarted = true;
            info.validator.clear();
            continue;
        }
        if (code == TransferCode::Truncated && attempt.response.status == 206
            && attempt.response.rangeStart != attempt.base) {
            info.validator.clear();
        }
        if (!isRetryable(code) || retries >= m_options.retryPausesMs.size())
            break;
        const int jitter = m_options.retryJitterMs > 0
            ? static_cast<int>(QRandomGenerator::global()->bounded(m_options.retryJitterMs + 1))
            : 0;
        if (!pause(m_options.retryPausesMs.at(retries) + jitter)) {
            code = TransferCode::Interrupted;
            break;
        }
        ++retries;
    }

    file.close();
    if (code == TransferCode::Ok && options.check) {
        // A complete body that is refused cannot become the file by
        // resuming: it goes.
        code = options.check(part, contentType);
        if (code != TransferCode::Ok) {
            record.reason = TransferCode::describe(code);
            removePartial(part);
            return code;
        }
    }
    if (code == TransferCode::Ok) {
        QFile::remove(infoPath(part));
        if (FileOps::replace(part, localPath))
            return TransferCode::Ok;
        removePartial(part);
        return TransferCode::LocalFile;
    }
    if (options.keepPartial && !info.validator.isEmpty() && QFile(part).size() > 0 && writeInfo(part, info))
        return code;
    removePartial(part);
    return code;
}
