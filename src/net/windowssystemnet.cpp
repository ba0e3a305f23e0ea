#include "net/systemnet.h"

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>

// libcurl's header brings winsock2.h, which must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include <curl/curl.h>

namespace SystemNet {

QByteArray trustedAuthoritiesPem()
{
    // libcurl's schannel backend trusts only the given authorities once any
    // are given, so the system's own roots are handed over with them.
    QByteArray pem;
    HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store)
        return pem;
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        DWORD size = 0;
        const DWORD flags = CRYPT_STRING_BASE64HEADER;
        if (!CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded, flags, nullptr, &size))
            continue;
        QByteArray text(static_cast<qsizetype>(size), '\0');
        if (CryptBinaryToStringA(certificate->pbCertEncoded, certificate->cbCertEncoded, flags, text.data(), &size))
            pem += text.left(static_cast<qsizetype>(size));
    }
    CertCloseStore(store, 0);
    return pem;
}

QByteArray proxyFor(const QUrl &url)
{
    // The user's setting (Internet Options: automatic detection, a PAC
    // script or a proxy server), which Qt reads through WinHTTP on the
    // user's behalf. A run as SYSTEM has none: Qt then takes WinHTTP's
    // machine setting, where one is set; else the run needs --proxy.
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        QByteArray scheme;
        if (proxy.type() == QNetworkProxy::HttpProxy)
            scheme = "http://";
        else if (proxy.type() == QNetworkProxy::Socks5Proxy)
            scheme = "socks5h://";
        else if (proxy.type() == QNetworkProxy::NoProxy)
            return QByteArray();
        else
            continue;
        QByteArray address = scheme;
        if (!proxy.user().isEmpty()) {
            address += QUrl::toPercentEncoding(proxy.user()) + ':' + QUrl::toPercentEncoding(proxy.password()) + '@';
        }
        return address + proxy.hostName().toUtf8() + ':' + QByteArray::number(proxy.port());
    }
    return QByteArray();
}

long tlsOptions()
{
    // An inspecting proxy's certificates often name a revocation list that
    // cannot be reached; schannel then fails every connection. A
    // certificate known to be revoked still fails.
    return CURLSSLOPT_REVOKE_BEST_EFFORT;
}

} // namespace SystemNet
