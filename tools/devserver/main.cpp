// Serves a folder over HTTPS on 127.0.0.1 for the demo. It makes its own
// certificate authority in the state folder and writes the authority's
// certificate there as ca.pem, for UPDATER_CA_FILE.
//
//   devserver ROOT STATE_FOLDER [PORT]
//
// Prints "listening 127.0.0.1:PORT" once it serves, then "request TARGET"
// for every request. DEVSERVER_GZIP, a list of paths ("/updates/version.txt
// /a/b.txt"), names files it sends gzip-compressed, as a server with
// precompressed files does.
#include "httpsfileserver.h"
#include "testpki.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (args.size() < 3) {
        err << "usage: devserver ROOT STATE_FOLDER [PORT]\n";
        return 2;
    }
    QDir().mkpath(args.at(2));
    const TestPki pki = TestPki::create(args.at(2));
    if (!pki.ok()) {
        err << pki.error << "\n";
        return 1;
    }
    HttpsFileServer server(QDir(args.at(1)).absolutePath(), pki.certFile, pki.keyFile);
    if (!server.listen(args.size() > 3 ? args.at(3).toUShort() : 0)) {
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
