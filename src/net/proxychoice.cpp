#include "net/proxychoice.h"

#include "net/systemnet.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

bool isProxyScheme(const QString &scheme)
{
    static const QStringList schemes{QStringLiteral("http"),    QStringLiteral("https"),  QStringLiteral("socks4"),
                                     QStringLiteral("socks4a"), QStringLiteral("socks5"), QStringLiteral("socks5h")};
    return schemes.contains(scheme);
}

QString firstVariable(std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        QString value = qEnvironmentVariable(name).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return {};
}

} // namespace

std::optional<ProxyChoice> ProxyChoice::parse(const QString &text, const QString &source, QString &error)
{
    const QString trimmed = text.trimmed();
    ProxyChoice choice;
    choice.source = source;
    if (trimmed.compare(QLatin1String("direct"), Qt::CaseInsensitive) == 0
        || trimmed.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        choice.kind = Kind::Direct;
        return choice;
    }
    const QString withScheme = trimmed.contains(QLatin1String("://")) ? trimmed : QStringLiteral("http://") + trimmed;
    const QUrl address(withScheme, QUrl::StrictMode);
    if (!address.isValid() || address.host().isEmpty() || !isProxyScheme(address.scheme().toLower())
        || (address.path() != QLatin1String("") && address.path() != QLatin1String("/")) || address.hasQuery()) {
        error = QStringLiteral("%1 needs \"direct\" or a proxy address such as http://proxy.school.local:8080, not "
                               "\"%2\".")
                    .arg(source, QUrl(withScheme).toDisplayString(QUrl::RemovePassword));
        return std::nullopt;
    }
    choice.kind = Kind::Given;
    choice.address = address.adjusted(QUrl::RemovePath);
    return choice;
}

ProxyChoice ProxyChoice::fromEnvironment(QString *error)
{
    ProxyChoice choice;
    const QString given = qEnvironmentVariable("UPDATER_PROXY").trimmed();
    QString problem;
    if (!given.isEmpty())
        choice = parse(given, QStringLiteral("UPDATER_PROXY"), problem).value_or(ProxyChoice());
    if (error)
        *error = problem;
    return choice;
}

QString ProxyChoice::bypassList() const
{
    return bypass ? *bypass : firstVariable({"no_proxy", "NO_PROXY"});
}

bool ProxyChoice::bypasses(const QString &host) const
{
    // As libcurl reads no_proxy: an entry names a host and the names under
    // it ("school.local" covers "mirror.school.local"); an address stands
    // for itself.
    const QString name = host.toLower();
    const QStringList entries
        = bypassList().toLower().split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
    for (QString entry : entries) {
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(u'.'))
            entry.remove(0, 1);
        if (entry.startsWith(u'[') && entry.endsWith(u']'))
            entry = entry.mid(1, entry.size() - 2);
        if (name == entry || name.endsWith(u'.' + entry))
            return true;
    }
    return false;
}

QUrl ProxyChoice::proxyFor(const QUrl &url) const
{
    if (kind == Kind::Direct || bypasses(url.host()))
        return {};
    if (kind == Kind::Given)
        return address;
    const QByteArray system = SystemNet::proxyFor(url);
    if (system.isEmpty())
        return {};
    return QUrl::fromEncoded(system.contains("://") ? system : "http://" + system);
}

QString ProxyChoice::displayName(const QUrl &proxy)
{
    // libcurl's default ports: 443 for an https proxy, 1080 for the others.
    const int port = proxy.port(proxy.scheme() == QLatin1String("https") ? 443 : 1080);
    const QString host = proxy.host().contains(u':') ? u'[' + proxy.host() + u']' : proxy.host();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

QString ProxyChoice::describe() const
{
    QString text;
    switch (kind) {
    case Kind::System: text = QStringLiteral("the system's setting"); break;
    case Kind::Direct: text = QStringLiteral("none (%1 direct)").arg(source); break;
    case Kind::Given:
        text = QStringLiteral("%1 (%2)").arg(address.toDisplayString(QUrl::RemovePassword), source);
        break;
    }
    if (const QString hosts = bypassList(); !hosts.isEmpty() && kind != Kind::Direct)
        text += QStringLiteral("; not for %1").arg(hosts);
    return text;
}
