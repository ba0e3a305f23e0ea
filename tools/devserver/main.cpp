// Serves a folder over HTTPS on 127.0.0.1 for the demo and the fleets. It
// makes its own certificate authority in the state folder and writes the
// authority's certificate there as ca.pem, for UPDATER_CA_FILE.
//
//   devserver ROOT STATE_FOLDER [PORT [ADDRESS]]
//
// ADDRESS (an IPv4 or IPv6 address, default 127.0.0.1) is where it listens
// and is named in its certificate too. PORT 0 takes any free port. Prints
// "listening ADDRESS:PORT" once it serves, then "request TARGET"
// for every request. DEVSERVER_GZIP, a list of paths ("/updates/version.txt
// /a/b.txt"), names files it sends gzip-compressed, as a server with
// precompressed files does.
#include "httpsfileserver.h"
#include "testpki.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (args.size() < 3) {
        err << "usage: devserver ROOT STATE_FOLDER [PORT [ADDRESS]]\n";
        return 2;
    }
    const QHostAddress address(args.size() > 4 ? args.at(4) : QStringLiteral("127.0.0.1"));
    if (address.isNull()) {
        err << "not an address: " << args.at(4) << "\n";
        return 2;
    }
    QDir().mkpath(args.at(2));
    const QStringList names = address == QHostAddress(QHostAddress::LocalHost)
        ? QStringList()
        : QStringList{QStringLiteral("IP:") + address.toString()};
    const TestPki pki = TestPki::create(args.at(2), names);
    if (!pki.ok()) {
        err << pki.error << "\n";
        return 1;
    }
    HttpsFileServer server(QDir(args.at(1)).absolutePath(), pki.certFile, pki.keyFile);
    if (!server.listen(args.size() > 3 ? args.at(3).toUShort() : 0, address)) {
        err << "cannot listen\n";
        return 1;
    }
    HttpsFileServer::Fault compressed;
    compressed.gzip = true;
    for (const QString &path : qEnvironmentVariable("DEVSERVER_GZIP").split(QLatin1Char(' '), Qt::SkipEmptyParts))
        server.setFault(path, compressed);
    QTextStream out(stdout);
    server.onRequest = [&out](const QString &target) { out << "request " << target << Qt::endl; };
    out << "listening " << server.host() << Qt::endl;
    return QCoreApplication::exec();
}
