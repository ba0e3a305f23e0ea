#pragma once

#include <QByteArray>
#include <QUrl>

#include <optional>

// What the platform says about the network, for the web client. Each
// platform has its own implementation beside this file.
namespace SystemNet {

// The certificate authorities the system trusts, as PEM text, for a client
// that trusts extra authorities besides them; empty when they cannot be
// read (the extra authorities then stand alone).
QByteArray trustedAuthoritiesPem();

// The proxy for a URL as libcurl takes it ("http://host:port", "" for a
// direct connection), or nothing where libcurl itself reads the system's
// settings (https_proxy and no_proxy on Linux).
std::optional<QByteArray> proxyFor(const QUrl &url);

} // namespace SystemNet
