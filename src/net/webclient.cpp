#include "net/webclient.h"

#include "common/diskspace.h"
#include "common/fileops.h"
#include "common/textencoding.h"
#include "net/curlsession.h"
#include "net/partialfile.h"
#include "net/retrypolicy.h"
#include "net/transfercodes.h"

#include <QElapsedTimer>

namespace {

bool isHttps(const QUrl &url)
{
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

constexpr int kNoHandle = TransferCode::NetworkErrorBase + CURLE_FAILED_INIT;

// A FetchText that failed before anything was asked of the network.
TransferResult notAsked(const QUrl &url, int code)
{
    TransferResult result;
    result.url = url;
    result.code = code;
    result.reason = TransferCode::describe(code);
    return result;
}

// Opens the part file of a download, keeping the bytes of an earlier call
// only when they came from the same address and the server said how to
// tell whether it changed; `origin` is then theirs. Returns Ok, else the
// code the download fails with.
int openPartial(PartialFile &partial, const QByteArray &address, const DownloadOptions &options,
                PartialFile::Origin &origin, TransferResult &result)
{
    if (const QString link = partial.link(); !link.isEmpty()) {
        // Whatever it leads to is not the tool's to write, nor the link
        // itself to remove.
        result.reason = FileOps::linkRefused(link);
        return TransferCode::LocalFile;
    }
    origin = partial.keptOrigin();
    if (!options.keepPartial || origin.url != address || origin.validator.isEmpty()) {
        partial.remove();
        origin = {};
    }
    if (!partial.open())
        return TransferCode::LocalFile;
    return TransferCode::Ok;
}

// What one try of a download came to, for the choice of the next.
struct Try
{
    int code = TransferCode::Ok;
    bool ran = false;       // false: the kept bytes could not be cleared for a start over
    qint64 base = 0;        // the bytes kept from before it
    bool otherFile = false; // as TransferAttempt::otherFile
};

// One request of a download into `partial`: the rest after the kept bytes
// where `origin` names a validator, else the whole file. What it brought
// goes into `result` and `origin`.
Try tryOnce(CurlSession::Handle &easy, const QUrl &url, PartialFile &partial, PartialFile::Origin &origin,
            const DownloadOptions &options, const TransferOptions &limits, TransferResult &result)
{
    TransferAttempt attempt;
    attempt.url = url;
    attempt.file = &partial.file();
    attempt.base = origin.validator.isEmpty() ? 0 : partial.size();
    attempt.validator = origin.validator;
    attempt.limit = options.maxBytes;
    attempt.exact = options.exactBytes;
    attempt.pacer = Pacer(limits.maxBytesPerSecond);
    attempt.stall = StallRule(limits.stallBytesPerSecond, limits.stallTimeoutMs);
    if (attempt.base == 0 && partial.size() > 0 && !partial.clear())
        return {TransferCode::LocalFile, false, attempt.base, false};
    easy.run(attempt, options.progress);
    // Every byte received is in the file, or the attempt failed.
    if (!partial.flush() || partial.size() != attempt.base + attempt.written)
        attempt.force(TransferCode::LocalFile);
    if (attempt.forced == TransferCode::LocalFile && DiskSpace::lacksSpaceFor(partial.path(), 0))
        attempt.forced = TransferCode::DiskFull;

    const Failure failure = attempt.failure();
    const Response &response = attempt.response;
    result.reason = failure.description;
    ++result.attempts;
    result.bytes = partial.size();
    result.contentType = response.contentType;
    result.proxy = attempt.proxy;
    // What is in the file now can be resumed if the server named a
    // validator for it, and sent the bytes as they are (the bytes of a
    // compressed body cannot be asked for by their place in the file).
    if (response.success() && !attempt.otherFile) {
        origin.validator = response.encoding.isEmpty() ? PartialFile::validatorOf(response.etag, response.lastModified)
                                                       : QByteArray();
    }
    origin.url = url.toEncoded();
    return {failure.number, true, attempt.base, attempt.otherFile};
}

// The tries of a download, until one brings the file or the retry policy
// gives up; returns the last one's code.
int transfer(CurlSession::Handle &easy, const QUrl &url, PartialFile &partial, PartialFile::Origin &origin,
             const DownloadOptions &options, const TransferOptions &limits, TransferResult &result)
{
    RetryPolicy retries(limits.retryPausesMs, limits.retryJitterMs);
    bool restarted = false;
    for (;;) {
        const Try tried = tryOnce(easy, url, partial, origin, options, limits, result);
        if (!tried.ran || tried.code == TransferCode::Ok)
            return tried.code;
        if ((tried.code == 416 || tried.otherFile) && tried.base > 0 && !restarted) {
            // The kept bytes are no part of the file as it is now, or the
            // server cannot be trusted to send their rest: from the start.
            restarted = true;
            origin.validator.clear();
            continue;
        }
        // Bytes that ended with the connection are not known to be a part
        // of the file that a range can continue: the next try starts over.
        if (tried.otherFile || tried.code == TransferCode::Unbounded)
            origin.validator.clear();
        const std::optional<int> pauseMs = retries.nextPauseMs(tried.code);
        if (!pauseMs)
            return tried.code;
        if (!RetryPolicy::wait(*pauseMs))
            return TransferCode::Interrupted;
    }
}

// The end of a download whose tries came to `code`: a complete body
// checked and moved over the target, a part kept to be resumed where it
// may be, else removed. Returns the download's code.
int settle(PartialFile &partial, const PartialFile::Origin &origin, const DownloadOptions &options, int code,
           TransferResult &result)
{
    if (code == TransferCode::Ok && options.check) {
        // A complete body that is refused cannot become the file by
        // resuming: it goes.
        code = options.check(partial.path(), result.contentType);
        if (code != TransferCode::Ok) {
            result.reason = TransferCode::describe(code);
            partial.remove();
            return code;
        }
    }
    if (code == TransferCode::Ok)
        return partial.moveOverTarget() ? TransferCode::Ok : TransferCode::LocalFile;
    // A part that filled the disk is not kept to hold the space, nor one
    // that is not the listed file.
    if (!options.keepPartial || code == TransferCode::DiskFull || code == TransferCode::NotListed
        || !partial.keep(origin))
        partial.remove();
    return code;
}

} // namespace

TransferOptions TransferOptions::fromEnvironment()
{
    TransferOptions options;
    options.caFile = qEnvironmentVariable("UPDATER_CA_FILE");
    options.proxy = ProxyChoice::fromEnvironment();
    return options;
}

WebClient::WebClient(TransferOptions options)
    : m_options(std::move(options)), m_session(std::make_unique<CurlSession>(m_options.caFile))
{
    m_session->setProxy(m_options.proxy);
}

WebClient::~WebClient() = default;

void WebClient::setMaxBytesPerSecond(qint64 bytesPerSecond)
{
    m_options.maxBytesPerSecond = qMax(qint64{0}, bytesPerSecond);
}

void WebClient::setProxy(ProxyChoice proxy)
{
    m_options.proxy = proxy;
    m_session->setProxy(std::move(proxy));
}

const ProxyChoice &WebClient::proxy() const
{
    return m_options.proxy;
}

void WebClient::setObserver(std::function<void(const TransferResult &)> observer)
{
    m_observer = std::move(observer);
}

void WebClient::report(const TransferResult &result) const
{
    if (m_observer)
        m_observer(result);
}

QString WebClient::libraryText()
{
    return CurlSession::libraryText();
}

QString WebClient::partialPath(const QString &localPath)
{
    return PartialFile::pathFor(localPath);
}

TransferResult WebClient::fetchText(const QUrl &url)
{
    if (!isHttps(url))
        return notAsked(url, TransferCode::BadUrl);
    CurlSession::Handle easy(*m_session);
    if (!easy)
        return notAsked(url, kNoHandle);

    QByteArray body;
    TransferAttempt attempt;
    attempt.url = url;
    attempt.text = &body;
    attempt.limit = m_options.maxTextBytes;
    attempt.timeoutMs = m_options.requestTimeoutMs;
    attempt.pacer = Pacer(m_options.maxBytesPerSecond);
    QElapsedTimer timer;
    timer.start();
    easy.run(attempt, {});

    const Failure failure = attempt.failure();
    TransferResult result;
    result.url = url;
    result.bytes = body.size();
    result.milliseconds = timer.elapsed();
    result.attempts = 1;
    result.code = failure.number;
    result.reason = failure.description;
    result.contentType = attempt.response.contentType;
    result.proxy = attempt.proxy;
    if (result.ok()) {
        result.text = TextRules::decode(body);
        result.body = std::move(body);
    }
    report(result);
    return result;
}

TransferResult WebClient::downloadToFile(const QUrl &url, const QString &localPath, const DownloadOptions &options)
{
    QElapsedTimer timer;
    timer.start();
    TransferResult result;
    result.download = true;
    result.url = url;
    result.code = download(url, localPath, options, result);
    result.milliseconds = timer.elapsed();
    if (!result.ok() && result.reason.isEmpty())
        result.reason = TransferCode::describe(result.code);
    if (result.ok())
        result.reason.clear();
    report(result);
    return result;
}

int WebClient::download(const QUrl &url, const QString &localPath, const DownloadOptions &options,
                        TransferResult &result)
{
    if (!isHttps(url))
        return TransferCode::BadUrl;
    CurlSession::Handle easy(*m_session);
    if (!easy)
        return kNoHandle;

    PartialFile partial(localPath);
    PartialFile::Origin origin;
    if (const int code = openPartial(partial, url.toEncoded(), options, origin, result); code != TransferCode::Ok)
        return code;
    const int code = transfer(easy, url, partial, origin, options, m_options, result);
    partial.close();
    return settle(partial, origin, options, code, result);
}
