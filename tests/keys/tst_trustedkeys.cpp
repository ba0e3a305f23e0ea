// The keys a build trusts (UPDATER_TRUSTED_KEYS) are checked when the build
// is configured, before anything else: a key that is not one stops the
// configure and names it; good keys, however given, reach the code, all of
// them.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kSource = QStringLiteral(UPDATER_SOURCE_DIR);

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString &program, const QStringList &args, const QString &folder = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, args);
    Run result;
    if (!process.waitForFinished(300'000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

Run cmake(const QStringList &args)
{
    return run(QStringLiteral(UPDATER_CMAKE), args);
}

// The lines of a program's output, without a last empty one.
QStringList lines(const QByteArray &output)
{
    return QString::fromUtf8(output).split(u'\n', Qt::SkipEmptyParts);
}

// Whether CMake's message names the key: CMake breaks long messages at
// blanks and indents the lines, so both are compared with blanks merged.
bool names(const Run &result, const QString &key)
{
    return QString::fromUtf8(result.out + result.err).simplified().contains(u'"' + key.simplified() + u'"');
}

QString base64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

} // namespace

class TestTrustedKeys : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void check_data();
    void check();
    void configureStopsBeforeAnythingElse();
    void twoKeysReachTheCode();
    void keygenPrintsTheFingerprint();

private:
    QTemporaryDir m_dir;
    // A key made by OpenSSL: the base64 of its 32 bytes, of its DER form,
    // its PEM text.
    QString m_raw;
    QString m_der;
    QString m_pem;
    QString m_other = base64(QByteArray(32, 'k'));
    QString m_short = base64(QByteArray(31, 'k'));
};

void TestTrustedKeys::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString pem = m_dir.filePath(u"key.pem"_s);
    QCOMPARE(run(u"openssl"_s, {u"genpkey"_s, u"-algorithm"_s, u"ed25519"_s, u"-out"_s, pem}).exitCode, 0);
    const Run der = run(u"openssl"_s, {u"pkey"_s, u"-in"_s, pem, u"-pubout"_s, u"-outform"_s, u"DER"_s});
    QCOMPARE(der.exitCode, 0);
    QCOMPARE(der.out.size(), 44);
    m_der = base64(der.out);
    m_raw = base64(der.out.right(32));
    m_pem = QString::fromLatin1(run(u"openssl"_s, {u"pkey"_s, u"-in"_s, pem, u"-pubout"_s}).out);
    QVERIFY(m_pem.startsWith(u"-----BEGIN PUBLIC KEY-----"_s));
}

void TestTrustedKeys::check_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("keys"); // as they reach the code
    QTest::addColumn<QString>("refused");  // the key the configure stops at
    QTest::newRow("none") << QString() << QStringList() << QString();
    QTest::newRow("the raw key") << m_raw << QStringList{m_raw} << QString();
    QTest::newRow("the DER form, blanks around") << u" %1 "_s.arg(m_der) << QStringList{m_raw} << QString();
    QTest::newRow("two keys, an empty item")
        << u"%1;;%2;"_s.arg(m_der, m_other) << QStringList{m_raw, m_other} << QString();
    QTest::newRow("PEM text") << m_pem << QStringList() << m_pem.trimmed();
    QTest::newRow("a file path") << m_dir.filePath(u"key.pem"_s) << QStringList() << m_dir.filePath(u"key.pem"_s);
    QTest::newRow("31 bytes") << m_short << QStringList() << m_short;
    QTest::newRow("44 bytes that are not the DER form")
        << base64(QByteArray(44, 'k')) << QStringList() << base64(QByteArray(44, 'k'));
    QTest::newRow("one bad among good") << u"%1; %2 ;%3"_s.arg(m_raw, m_short, m_other) << QStringList() << m_short;
}

void TestTrustedKeys::check()
{
    QFETCH(QString, list);
    QFETCH(QStringList, keys);
    QFETCH(QString, refused);
    const Run result = cmake({u"-DUPDATER_TRUSTED_KEYS="_s + list, u"-P"_s, kSource + u"/cmake/TrustedKeys.cmake"_s});
    if (refused.isEmpty()) {
        QVERIFY2(result.exitCode == 0, result.err.constData());
        QCOMPARE(lines(result.out).replaceInStrings(u"-- "_s, QString()), keys);
    } else {
        QVERIFY(result.exitCode != 0);
        QVERIFY2(names(result, refused), result.err.constData());
    }
}

void TestTrustedKeys::configureStopsBeforeAnythingElse()
{
    // The whole project: it stops at the key, before a compiler or Qt is
    // looked for.
    const QString build = m_dir.filePath(u"project"_s);
    const Run result = cmake({u"-S"_s, kSource, u"-B"_s, build, u"-DUPDATER_TRUSTED_KEYS=%1;%2"_s.arg(m_raw, m_short)});
    QVERIFY(result.exitCode != 0);
    QVERIFY2(names(result, m_short), result.err.constData());
    QFile cache(build + u"/CMakeCache.txt"_s);
    QVERIFY(cache.open(QIODevice::ReadOnly));
    const QByteArray entries = cache.readAll();
    QVERIFY(entries.contains("UPDATER_TRUSTED_KEYS:STRING="));
    QVERIFY(!entries.contains("Qt6_DIR"));
    QVERIFY(!entries.contains("CMAKE_CXX_COMPILER:"));
}

void TestTrustedKeys::twoKeysReachTheCode()
{
    const QString build = m_dir.filePath(u"probe"_s);
    const Run configured = cmake({u"-S"_s, kSource + u"/tests/keys/probe"_s, u"-B"_s, build, u"-G"_s,
                                  QStringLiteral(UPDATER_CMAKE_GENERATOR),
                                  u"-DCMAKE_CXX_COMPILER="_s + QStringLiteral(UPDATER_CXX_COMPILER),
                                  u"-DUPDATER_TRUSTED_KEYS= %1 ; %2"_s.arg(m_der, m_other)});
    QVERIFY2(configured.exitCode == 0, configured.err.constData());
    const Run built = cmake({u"--build"_s, build});
    QVERIFY2(built.exitCode == 0, (built.out + built.err).constData());
    const Run probe = run(build + u"/probe"_s, {});
    QCOMPARE(probe.exitCode, 0);
    QCOMPARE(lines(probe.out), (QStringList{m_raw, m_other}));
}

void TestTrustedKeys::keygenPrintsTheFingerprint()
{
    // The key on standard output, alone (scripts read it); the fingerprint
    // on standard error. The key passes the configure check as it is.
    const Run keygen = run(QStringLiteral(UPDATER_SIGN), {u"keygen"_s, m_dir.filePath(u"release.key"_s)});
    QCOMPARE(keygen.exitCode, 0);
    const QStringList key = lines(keygen.out);
    QCOMPARE(key.size(), 1);
    const QByteArray hash
        = QCryptographicHash::hash(QByteArray::fromBase64(key.first().toLatin1()), QCryptographicHash::Sha256);
    QCOMPARE(lines(keygen.err),
             QStringList{u"SHA256:"_s + QString::fromLatin1(hash.toBase64(QByteArray::OmitTrailingEquals))});
    const Run checked
        = cmake({u"-DUPDATER_TRUSTED_KEYS="_s + key.first(), u"-P"_s, kSource + u"/cmake/TrustedKeys.cmake"_s});
    QCOMPARE(lines(checked.out), QStringList{u"-- "_s + key.first()});
}

QTEST_GUILESS_MAIN(TestTrustedKeys)
#include "tst_trustedkeys.moc"
