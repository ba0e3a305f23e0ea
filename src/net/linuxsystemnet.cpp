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

std::optional<QByteArray> proxyFor(const QUrl & /*url*/)
{
    // libcurl reads https_proxy and no_proxy itself, as the system's own
    // tools do.
    return std::nullopt;
}

} // namespace SystemNet
