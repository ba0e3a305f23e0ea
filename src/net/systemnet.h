#pragma once

#include <QByteArray>
#include <QUrl>

// What the platform says about the network, for the web client. Each
// platform has its own implementation beside this file.
namespace SystemNet {

// The certificate authorities the system trusts, as PEM text, for a client
// that trusts extra authorities besides them; empty when they cannot be
// read (the extra authorities then stand alone).
QByteArray trustedAuthoritiesPem();

// The system's proxy for a URL as libcurl takes it ("http://host:port", ""
// for a direct connection): https_proxy (else all_proxy) on Linux, the
// user's setting on Windows.
QByteArray proxyFor(const QUrl &url);

// libcurl's CURLOPT_SSL_OPTIONS for the platform's TLS library.
long tlsOptions();

} // namespace SystemNet
