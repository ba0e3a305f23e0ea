#pragma once

#include "httpsfileserver.h"
#include "net/endpoints.h"
#include "net/webclient.h"
#include "testpki.h"

#include <QTemporaryDir>

#include <memory>

// A scratch installation and a local HTTPS server for one test: the served
// folder (www), the application folder (app), a certificate authority the
// client trusts, and a WebClient with short timeouts.
class WebFixture
{
public:
    explicit WebFixture(int timeoutMs = 3'000);

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    QString root() const { return m_dir.filePath(QStringLiteral("www")); }
    QString appFolder() const { return m_dir.filePath(QStringLiteral("app")); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    const TestPki &pki() const { return pki_; }

    // Puts content on the server at an absolute path such as "/updates/version.txt".
    void publish(const QString &urlPath, const QByteArray &content);
    HttpsFileServer &server() { return *m_server; }
    WebClient &web() { return *m_web; }
    Endpoints endpoints() const { return Endpoints(m_server->host(), m_server->host()); }
    QUrl url(const QString &urlPath) const;
    TransferOptions options() const { return m_options; }

private:
    QTemporaryDir m_dir;
    TestPki pki_;
    TransferOptions m_options;
    std::unique_ptr<HttpsFileServer> m_server;
    std::unique_ptr<WebClient> m_web;
    QString m_error;
};

// Small file helpers for tests.
QByteArray readBytes(const QString &path);
bool writeBytes(const QString &path, const QByteArray &bytes);
