#include "common/webfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// One authority per test program: key generation is the slow part.
const TestPki &sharedPki(QString &error)
{
    static QTemporaryDir folder;
    static const TestPki pki = TestPki::create(folder.path());
    error = pki.error;
    return pki;
}
} // namespace

WebFixture::WebFixture(int timeoutMs)
{
    QDir(m_dir.path()).mkpath(QStringLiteral("www"));
    QDir(m_dir.path()).mkpath(QStringLiteral("app"));
    pki_ = sharedPki(m_error);
    if (!m_error.isEmpty())
        return;
    m_server = std::make_unique<HttpsFileServer>(root(), pki_.certFile, pki_.keyFile);
    if (!m_server->listen()) {
        m_error = QStringLiteral("the test server cannot listen");
        return;
    }
    m_options.requestTimeoutMs = timeoutMs;
    m_options.stallTimeoutMs = timeoutMs;
    m_options.caFile = pki_.caFile;
    // Retries as in the product, without its long pauses.
    m_options.retryPausesMs = {10, 20, 40};
    m_options.retryJitterMs = 0;
    m_web = std::make_unique<WebClient>(m_options);
}

void WebFixture::publish(const QString &urlPath, const QByteArray &content)
{
    const QString file = root() + urlPath;
    QDir().mkpath(QFileInfo(file).path());
    writeBytes(file, content);
}

QUrl WebFixture::url(const QString &urlPath) const
{
    return QUrl(QStringLiteral("https://") + m_server->host() + urlPath);
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
