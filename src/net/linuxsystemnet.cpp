#include "net/systemnet.h"

#include <QFile>

#include <curl/curl.h>

namespace SystemNet {

QByteArray trustedAuthoritiesPem()
{
    // The bundle libcurl was built to use, then the usual places.
    QList<QByteArray> candidates;
    if (CURL *easy = curl_easy_init()) {
        char *builtIn = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &builtIn) == CURLE_OK && builtIn)
            candidates << QByteArray(builtIn);
        curl_easy_cleanup(easy);
    }
    candidates << "/etc/ssl/certs/ca-certificates.crt"
               << "/etc/pki/tls/certs/ca-bundle.crt"
               << "/etc/ssl/cert.pem";
    for (const QByteArray &path : candidates) {
        QFile file(QString::fromLocal8Bit(path));
        if (file.open(QIODevice::ReadOnly))
            return file.readAll();
    }
    return {};
}

QByteArray proxyFor(const QUrl & /*url*/)
{
    // As libcurl and the system's own tools read them; only https is ever
    // asked for. no_proxy is the ProxyChoice's.
    for (const char *name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        QByteArray value = qgetenv(name).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return {};
}

long tlsOptions()
{
    return 0;
}

} // namespace SystemNet
