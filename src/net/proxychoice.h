#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// The proxy the web transfers of a run go through. By default the system's
// setting (https_proxy and no_proxy on Linux, the user's Internet Options on
// Windows); `--proxy` or UPDATER_PROXY name one for the whole run, or none
// ("direct"), which a run as SYSTEM needs, for it sees no user's setting.
// `--no-proxy` (else no_proxy) names the hosts reached without one.
struct ProxyChoice
{
    enum class Kind { System, Direct, Given };

    Kind kind = Kind::System;
    QUrl address;   // Kind::Given: scheme://[user[:password]@]host[:port]
    QString source; // where the choice came from ("--proxy", "UPDATER_PROXY")
    // Hosts reached without a proxy, as no_proxy lists them: names (each
    // also covering the names under it), addresses, or "*" for all;
    // separated by commas or spaces. Nothing: no_proxy's, whichever proxy
    // is used.
    std::optional<QString> bypass;

    // "direct" (or "none") or a proxy address; an address without a scheme
    // is an http proxy. Sets `error` and returns nothing when it is neither.
    static std::optional<ProxyChoice> parse(const QString &text, const QString &source, QString &error);
    // UPDATER_PROXY (the system's setting when it is not set). An
    // UPDATER_PROXY that cannot be read leaves the system's setting and
    // says why in `error`.
    static ProxyChoice fromEnvironment(QString *error = nullptr);

    // The proxy for a transfer to `url`, with its account if it has one; an
    // empty URL for a direct connection.
    QUrl proxyFor(const QUrl &url) const;
    // The bypassed hosts: `bypass`, else no_proxy.
    QString bypassList() const;
    // Whether `host` is one of them.
    bool bypasses(const QString &host) const;
    // The choice as the log names it, without any password.
    QString describe() const;

    // "host:port" of a proxy address, the port as libcurl takes it when none
    // is given.
    static QString displayName(const QUrl &proxy);
};
