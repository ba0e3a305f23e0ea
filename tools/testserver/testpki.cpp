#include "testpki.h"

#include <QDir>
#include <QFile>
#include <QProcess>

using namespace Qt::StringLiterals;

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
                   {u"req"_s, u"-new"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, name + u".key"_s,
                    u"-out"_s, name + u".csr"_s, u"-subj"_s, u"/CN="_s + name},
                   error)
        && openssl(folder,
                   {u"x509"_s, u"-req"_s, u"-in"_s, name + u".csr"_s, u"-CA"_s, u"ca.pem"_s, u"-CAkey"_s, u"ca.key"_s,
                    u"-CAcreateserial"_s, u"-out"_s, name + u".pem"_s, u"-days"_s, u"3"_s, u"-sha256"_s, u"-extfile"_s,
                    ext},
                   error);
}

} // namespace

TestPki TestPki::create(const QString &folder, const QStringList &extraNames)
{
    TestPki pki;
    const QDir dir(folder);
    QString error;
    const bool made
        = openssl(folder,
                  {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, u"ca.key"_s, u"-out"_s,
                   u"ca.pem"_s, u"-days"_s, u"3"_s, u"-sha256"_s, u"-subj"_s, u"/CN=Updater Test CA"_s, u"-addext"_s,
                   u"basicConstraints=critical,CA:TRUE"_s, u"-addext"_s, u"keyUsage=critical,keyCertSign,cRLSign"_s},
                  error)
        && serverCertificate(folder, QStringLiteral("server"),
                             (QStringList{u"DNS:localhost"_s, u"DNS:updates.test"_s, u"IP:127.0.0.1"_s} + extraNames)
                                 .join(QLatin1Char(',')),
                             error)
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
