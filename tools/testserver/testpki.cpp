#include "testpki.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

bool openssl(const QString &folder, const QStringList &arguments, QString &error)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QStringLiteral("openssl %1 failed: %2")
                    .arg(arguments.value(0), QString::fromLocal8Bit(process.readAll()) + process.errorString());
        return false;
    }
    return true;
}

bool serverCertificate(const QString &folder, const QString &name, const QString &subjectAltName, QString &error)
{
    const QString ext = name + QStringLiteral(".ext");
    QFile extFile(QDir(folder).filePath(ext));
    if (!extFile.open(QIODevice::WriteOnly)) {
        error = extFile.errorString();
        return false;
    }
    extFile.write("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\nsubjectAltName="
                  + subjectAltName.toUtf8() + "\n");
    extFile.close();
    return openssl(folder,
                   {"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                    "-subj", "/CN=" + name},
                   error)
        && openssl(folder,
                   {"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                    "-out", name + ".pem", "-days", "3", "-sha256", "-extfile", ext},
                   error);
}

} // namespace

TestPki TestPki::create(const QString &folder)
{
    TestPki pki;
    const QDir dir(folder);
    QString error;
    const bool made = openssl(folder,
                              {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                               "-days", "3", "-sha256", "-subj", "/CN=Updater Test CA", "-addext",
                               "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
                              error)
        && serverCertificate(folder, QStringLiteral("server"),
                             QStringLiteral("DNS:localhost,DNS:updates.test,IP:127.0.0.1"), error)
        && serverCertificate(folder, QStringLiteral("other"), QStringLiteral("DNS:other.example"), error);
    if (!made) {
        pki.error = error;
        return pki;
    }
    pki.caFile = dir.filePath(QStringLiteral("ca.pem"));
    pki.certFile = dir.filePath(QStringLiteral("server.pem"));
    pki.keyFile = dir.filePath(QStringLiteral("server.key"));
    pki.otherCertFile = dir.filePath(QStringLiteral("other.pem"));
    pki.otherKeyFile = dir.filePath(QStringLiteral("other.key"));
    return pki;
}
