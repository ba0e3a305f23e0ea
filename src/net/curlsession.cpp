#include "net/curlsession.h"

#include "common/eventwait.h"
#include "net/partialfile.h"
#include "net/systemnet.h"

#include <QFile>
#include <QList>
#include <QTimer>

#include <algorithm>
#include <thread>

#ifndef UPDATER_VERSION
#define UPDATER_VERSION "0"
#endif

namespace {

constexpr long kMaxRedirects = 10;
constexpr long kReceiveBufferBytes = 512L * 1024;
// How often the waiting thread passes progress on.
constexpr int kProgressIntervalMs = 50;

// The reason phrase of a status line ("HTTP/1.1 404 Not Found"); libcurl
// keeps only the number. Empty when there is none (HTTP/2 sends none).
QByteArray reasonPhrase(const QByteArray &statusLine)
{
    if (statusLine.split(' ').size() < 3)
        return {};
    return statusLine.mid(statusLine.indexOf(' ', statusLine.indexOf(' ') + 1) + 1).trimmed();
}

// The value of the last `name` header of the answer being received (the
// last request of the transfer); empty when it has none.
QByteArray headerValue(CURL *easy, const char *name)
{
    curl_header *header = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return {};
    if (header->amount > 1 && curl_easy_header(easy, name, header->amount - 1, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return {};
    return {header->value};
}

// The answer whose headers have just ended, as libcurl parsed them.
void readResponse(CURL *easy, Response &response)
{
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    response.status = status;
    response.contentType = headerValue(easy, "Content-Type");
    response.etag = headerValue(easy, "ETag");
    response.lastModified = headerValue(easy, "Last-Modified");
    const QByteArray length = headerValue(easy, "Content-Length");
    response.contentLength = length.isEmpty() ? -1 : length.toLongLong();
    const QByteArray encoding = headerValue(easy, "Content-Encoding").trimmed().toLower();
    response.encoding = encoding == "identity" ? QByteArray() : encoding;
    response.chunked = headerValue(easy, "Transfer-Encoding").toLower().contains("chunked");
    const QByteArray range = headerValue(easy, "Content-Range");
    if (range.startsWith("bytes "))
        response.rangeStart = range.mid(6).split('-').value(0).toLongLong();
}

// Whether a 206 answer brings the rest of the bytes kept: the range starts
// where they end, and the file on the server is still the one they came
// from, by the validator stored with them (a server may ignore If-Range).
// An encoded answer never continues them.
bool continuesKeptBytes(const TransferAttempt &attempt, const Response &response)
{
    return attempt.base > 0 && response.rangeStart == attempt.base && response.encoding.isEmpty()
        && !attempt.validator.isEmpty()
        && PartialFile::validatorOf(response.etag, response.lastModified) == attempt.validator;
}

// Whether the body just received is proven whole: libcurl holds it to its
// Content-Length, to a chunked body's last chunk and to HTTP/2's end of
// stream. A body without any of them ended when the connection did, which
// a cut connection does too.
bool endProven(CURL *easy, const Response &response)
{
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    return version >= CURL_HTTP_VERSION_2_0 || response.contentLength >= 0 || response.chunked
        || response.status == 204;
}

size_t onHeader(char *buffer, size_t size, size_t count, void *user)
{
    auto &attempt = *static_cast<TransferAttempt *>(user);
    const size_t bytes = size * count;
    const QByteArray line = QByteArray(buffer, static_cast<qsizetype>(bytes)).trimmed();
    Response &response = attempt.response;
    if (line.startsWith("HTTP/")) {
        // A new answer: the one before was a redirect, an interim one or
        // the proxy's.
        response = Response();
        response.reason = reasonPhrase(line);
        attempt.proxySchemes.clear();
        return bytes;
    }
    if (line.toLower().startsWith("proxy-authenticate:")) {
        const QByteArray scheme = line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0);
        if (!scheme.isEmpty() && !attempt.proxySchemes.contains(scheme))
            attempt.proxySchemes << scheme;
        return bytes;
    }
    if (!line.isEmpty())
        return bytes;
    // The end of the headers.
    readResponse(attempt.easy, response);
    if (!response.success())
        return bytes;
    if (attempt.file) {
        if (response.status == 206 && !continuesKeptBytes(attempt, response)) {
            // Not the rest of the bytes kept: nothing of it can be used.
            attempt.otherFile = true;
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
    // A length that is not the listed size brings another file.
    if (attempt.exact >= 0 && whole >= 0 && response.encoding.isEmpty() && whole != attempt.exact) {
        attempt.force(TransferCode::NotListed);
        return 0;
    }
    // An encoded body's length is not the length of the file it brings.
    attempt.total.store(response.encoding.isEmpty() ? whole : -1);
    attempt.received.store(attempt.base);
    return bytes;
}

size_t onBody(char *data, size_t size, size_t count, void *user)
{
    auto &attempt = *static_cast<TransferAttempt *>(user);
    const size_t bytes = size * count;
    const auto length = static_cast<qint64>(bytes);
    if (!attempt.response.success())
        return bytes; // an error page is not the file
    if (attempt.base + attempt.written + length > attempt.limit) {
        attempt.force(TransferCode::TooLarge);
        return 0;
    }
    // Whatever comes past the listed size is no part of the release: the
    // body is cut off there, with or without a length.
    if (attempt.exact >= 0 && attempt.base + attempt.written + length > attempt.exact) {
        attempt.force(TransferCode::NotListed);
        return 0;
    }
    if (attempt.file) {
        if (attempt.file->write(data, length) != length) {
            attempt.force(TransferCode::LocalFile); // or a full disk: the caller tells
            return 0;
        }
    } else {
        attempt.text->append(data, length);
    }
    attempt.written += length;
    attempt.received.store(attempt.base + attempt.written);
    if (attempt.pacer.active())
        attempt.hold(attempt.pacer.delayAfter(length));
    return bytes;
}

int onProgress(void *user, curl_off_t /*downTotal*/, curl_off_t /*downNow*/, curl_off_t /*upTotal*/,
               curl_off_t /*upNow*/)
{
    auto &attempt = *static_cast<TransferAttempt *>(user);
    if (attempt.cancel.load()) {
        attempt.force(TransferCode::Interrupted);
        return 1;
    }
    if (attempt.stall.stalled(attempt.written)) {
        attempt.force(TransferCode::TimedOut);
        return 1;
    }
    if (attempt.timeoutMs > 0 && attempt.pacer.active()
        && StallRule::Clock::now() - attempt.started - attempt.held > std::chrono::milliseconds(attempt.timeoutMs)) {
        attempt.force(TransferCode::TimedOut);
        return 1;
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

// The sign-in schemes libcurl may answer a proxy with. With more than one,
// libcurl sends nothing until the proxy has said which it takes, and then
// picks the strongest of them: a password goes in the clear (Basic) only
// to a proxy that offers nothing stronger.
unsigned long proxySchemes(bool accountGiven)
{
    // SSPI signs in with the account given, or else with the signed-in
    // Windows account, for NTLM and Negotiate alike. Without SSPI, Negotiate
    // takes the Kerberos ticket of the desk (GSS-API) and never the given
    // account; NTLM needs an account.
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    const bool sspi = (info->features & CURL_VERSION_SSPI) != 0;
    if (!accountGiven)
        return CURLAUTH_NEGOTIATE | (sspi ? CURLAUTH_NTLM : 0);
    return CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM | (sspi ? CURLAUTH_NEGOTIATE : 0);
}

// The proxy of an attempt and how to sign in to it.
void useProxy(CURL *easy, const ProxyChoice &choice, TransferAttempt &attempt)
{
    attempt.proxy = choice.proxyFor(attempt.url);
    // Empty for none; the choice has applied no_proxy already.
    curl_easy_setopt(easy, CURLOPT_PROXY, attempt.proxy.toEncoded().constData());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    if (attempt.proxy.isEmpty())
        return;
    const bool accountGiven = !attempt.proxy.userName().isEmpty();
    // No account in the address: the signed-in one (an empty name and
    // password tell libcurl so).
    if (!accountGiven)
        curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, ":");
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, proxySchemes(accountGiven));
}

} // namespace

bool StallRule::stalled(qint64 received, Clock::time_point now)
{
    if (m_windowMs <= 0)
        return false;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_windowStart).count();
    if (elapsed < m_windowMs)
        return false;
    if ((received - m_windowBytes) * 1000 < m_bytesPerSecond * elapsed)
        return true;
    m_windowStart = now;
    m_windowBytes = received;
    return false;
}

Pacer::Clock::duration Pacer::delayAfter(qint64 bytes, Clock::time_point now)
{
    if (!m_start)
        m_start = now;
    m_bytes += bytes;
    const Clock::time_point due = *m_start + std::chrono::milliseconds(m_bytes * 1000 / m_bytesPerSecond);
    return due > now ? due - now : Clock::duration::zero();
}

void TransferAttempt::hold(StallRule::Clock::duration duration)
{
    // In short steps, so that a program that quits is not kept waiting.
    constexpr auto step = std::chrono::milliseconds(50);
    const StallRule::Clock::time_point from = StallRule::Clock::now();
    const StallRule::Clock::time_point until = from + duration;
    for (auto now = from; now < until && !cancel.load(); now = StallRule::Clock::now())
        std::this_thread::sleep_for(std::min<StallRule::Clock::duration>(until - now, step));
    const StallRule::Clock::duration waited = StallRule::Clock::now() - from;
    held += waited;
    stall.held(waited);
}

void TransferAttempt::force(int code)
{
    if (forced == TransferCode::Ok)
        forced = code;
}

bool TransferAttempt::proxyRefused() const
{
    return !proxy.isEmpty() && (connectStatus == 407 || response.status == 407);
}

Failure TransferAttempt::failure() const
{
    int code = forced;
    if (code == TransferCode::Ok && proxyRefused()) {
        QString sentence = QStringLiteral("The proxy %1 asked for a sign-in the updater could not give")
                               .arg(ProxyChoice::displayName(proxy));
        if (!proxySchemes.isEmpty())
            sentence += QStringLiteral(" (it offers %1)").arg(QString::fromLatin1(proxySchemes.join(", ")));
        return {TransferCode::ProxySignIn, sentence + u'.'};
    }
    if (code == TransferCode::Ok && result != CURLE_OK)
        code = codeFor(result);
    if (code == TransferCode::Ok && !response.success() && response.status != 0) {
        const auto status = static_cast<int>(response.status);
        return {status,
                QStringLiteral("The server answered %1 %2 for %3")
                    .arg(status)
                    .arg(QString::fromLatin1(response.reason), url.toDisplayString())
                    .simplified()};
    }
    if (code == TransferCode::Ok)
        return {TransferCode::Ok, QString()};
    QString sentence = TransferCode::describe(code);
    const QString detail = QString::fromUtf8(error).trimmed();
    if (!detail.isEmpty() && forced == TransferCode::Ok)
        sentence += QStringLiteral(" ") + detail;
    return {code, sentence + QStringLiteral(" (") + url.toDisplayString() + QLatin1Char(')')};
}

QString CurlSession::libraryText()
{
    struct Feature
    {
        int bit;
        const char *name;
    };
    // Basic and Digest are libcurl's own; the others need a library or the
    // system's SSPI.
    static constexpr Feature kSignIn[] = {{CURL_VERSION_NTLM, "NTLM"},
                                          {CURL_VERSION_SPNEGO, "SPNEGO"},
                                          {CURL_VERSION_KERBEROS5, "Kerberos"},
                                          {CURL_VERSION_GSSAPI, "GSS-API"},
                                          {CURL_VERSION_SSPI, "SSPI"}};
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    QString text = QStringLiteral("libcurl %1 (%2); proxy sign-in: Basic Digest")
                       .arg(QString::fromLatin1(info->version),
                            QString::fromLatin1(info->ssl_version ? info->ssl_version : "no TLS"));
    for (const Feature &feature : kSignIn) {
        if ((info->features & feature.bit) != 0)
            text += u' ' + QString::fromLatin1(feature.name);
    }
    return text;
}

CurlSession::CurlSession(const QString &extraAuthorities)
{
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised == CURLE_OK)
        m_easy = curl_easy_init();
    if (!extraAuthorities.isEmpty()) {
        QFile extra(extraAuthorities);
        if (extra.open(QIODevice::ReadOnly))
            m_authorities = SystemNet::trustedAuthoritiesPem() + '\n' + extra.readAll();
    }
}

CurlSession::~CurlSession()
{
    if (m_easy)
        curl_easy_cleanup(m_easy);
}

CurlSession::Handle::Handle(CurlSession &session) : m_session(session)
{
    if (!session.m_easyInUse && session.m_easy) {
        m_easy = session.m_easy;
        m_ownsShared = true;
        session.m_easyInUse = true;
    } else {
        m_fresh = curl_easy_init();
        m_easy = m_fresh;
    }
}

CurlSession::Handle::~Handle()
{
    if (m_ownsShared)
        m_session.m_easyInUse = false;
    if (m_fresh)
        curl_easy_cleanup(m_fresh);
}

void CurlSession::Handle::run(TransferAttempt &attempt, const std::function<void(qint64, qint64)> &progress)
{
    curl_slist *headers = nullptr;
    if (attempt.base > 0)
        headers = curl_slist_append(headers, ("If-Range: " + attempt.validator).constData());
    prepare(attempt, headers);
    perform(attempt, progress);
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
}

void CurlSession::Handle::prepare(TransferAttempt &attempt, curl_slist *headers)
{
    CURL *easy = m_easy;
    attempt.easy = easy;
    curl_easy_reset(easy);
    const QByteArray address = attempt.url.toEncoded();
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
    const QByteArray &authorities = m_session.m_authorities;
    if (!authorities.isEmpty()) {
        // curl's blob has no const data, but with CURL_BLOB_NOCOPY it only
        // reads them.
        char *data = const_cast<char *>(authorities.constData()); // NOLINT(cppcoreguidelines-pro-type-const-cast)
        curl_blob blob{data, static_cast<size_t>(authorities.size()), CURL_BLOB_NOCOPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        // An https proxy is trusted as the servers are.
        curl_easy_setopt(easy, CURLOPT_PROXY_CAINFO_BLOB, &blob);
    }
    if (const long tls = SystemNet::tlsOptions()) {
        curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, tls);
        curl_easy_setopt(easy, CURLOPT_PROXY_SSL_OPTIONS, tls);
    }
    useProxy(easy, m_session.m_proxy, attempt);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    // Compressed bodies are asked for and decoded with every encoding this
    // libcurl knows; our size limits apply to the decoded bytes.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(attempt.limit));
    // The time limit of a request is libcurl's, unless the rate limit holds
    // the transfer back: then onProgress keeps it without the waits.
    if (attempt.timeoutMs > 0 && !attempt.pacer.active())
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(attempt.timeoutMs));
    // Our own Range rather than CURLOPT_RESUME_FROM_LARGE, which fails on the
    // whole file (200) that a changed file is answered with.
    const QByteArray range = QByteArray::number(attempt.base) + '-';
    if (attempt.base > 0)
        curl_easy_setopt(easy, CURLOPT_RANGE, range.constData());
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

void CurlSession::Handle::perform(TransferAttempt &attempt, const std::function<void(qint64, qint64)> &progress)
{
    // The transfer runs on a thread of its own; this one waits in EventWait
    // (the window paints, user input is held back for the action's next
    // turn) and passes progress on.
    EventWait wait;
    std::thread worker([&] {
        attempt.result = curl_easy_perform(m_easy);
        wait.finish();
    });
    QTimer tick;
    if (progress) {
        QObject::connect(&tick, &QTimer::timeout, &tick,
                         [&] { progress(attempt.received.load(), attempt.total.load()); });
        tick.start(kProgressIntervalMs);
    }
    // The wait also ends when the program quits: then the transfer is
    // stopped, for it has no one left to wait for it.
    if (!wait.wait())
        attempt.cancel.store(true);
    worker.join();
    tick.stop();
    curl_easy_getinfo(m_easy, CURLINFO_HTTP_CONNECTCODE, &attempt.connectStatus);
    if (attempt.result == CURLE_OK && attempt.response.success() && !endProven(m_easy, attempt.response))
        attempt.force(TransferCode::Unbounded);
    if (progress && attempt.forced == TransferCode::Ok && attempt.result == CURLE_OK)
        progress(attempt.received.load(), attempt.total.load());
}
