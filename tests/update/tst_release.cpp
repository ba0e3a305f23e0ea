// Only what the publisher released is installed or run: the bodies that are
// no program, and, in a build that carries keys, the signatures.
#include "common/recordingprocesses.h"
#include "common/recordingservices.h"
#include "common/signature.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "net/transfercodes.h"
#include "sp/spupdate.h"
#include "update/appupdate.h"
#include "update/installfiles.h"

#include <QDir>
#include <QProcess>
#include <QTest>
#include <algorithm>

#include <sodium.h>

using namespace Qt::StringLiterals;

using Fault = HttpsFileServer::Fault;
Q_DECLARE_METATYPE(Fault)

namespace {
const QString kExePath = QStringLiteral("/updates/Vantora.exe");
const QString kScriptPath = QStringLiteral("/updates/LATEST.sql");
const QByteArray kOldExe = "#!old build\n";
const QByteArray kNewExe = "#!new build\n";

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;
};

KeyPair makeKey()
{
    KeyPair key;
    key.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    key.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(key.publicKey.data()),
                        reinterpret_cast<unsigned char *>(key.secretKey.data()));
    return key;
}

// The same key pair every time.
KeyPair seededKey()
{
    KeyPair key;
    key.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    key.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    const QByteArray seed(crypto_sign_SEEDBYTES, 's');
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(key.publicKey.data()),
                             reinterpret_cast<unsigned char *>(key.secretKey.data()),
                             reinterpret_cast<const unsigned char *>(seed.constData()));
    return key;
}

// The text of a .sig file: the signature of the bytes, base64, one line.
QByteArray sigText(const QByteArray &bytes, const KeyPair &key)
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(bytes.constData()),
                         static_cast<unsigned long long>(bytes.size()),
                         reinterpret_cast<const unsigned char *>(key.secretKey.constData()));
    return signature.toBase64() + "\r\n";
}

// The same made by OpenSSL, another Ed25519 implementation: its public key
// and the .sig text.
bool opensslSignature(const QString &folder, const QByteArray &bytes, QByteArray &publicKey, QByteArray &sig)
{
    auto run = [&](const QStringList &args, const QByteArray &input = {}) {
        QProcess openssl;
        openssl.setWorkingDirectory(folder);
        openssl.start(u"openssl"_s, args);
        openssl.write(input);
        openssl.closeWriteChannel();
        openssl.waitForFinished();
        return openssl.exitCode() == 0 ? openssl.readAllStandardOutput() : QByteArray();
    };
    writeBytes(folder + u"/file.bin"_s, bytes);
    run({u"genpkey"_s, u"-algorithm"_s, u"ed25519"_s, u"-out"_s, u"key.pem"_s});
    publicKey = run({u"pkey"_s, u"-in"_s, u"key.pem"_s, u"-pubout"_s, u"-outform"_s, u"DER"_s}).right(32);
    sig = run({u"pkeyutl"_s, u"-sign"_s, u"-inkey"_s, u"key.pem"_s, u"-rawin"_s, u"-in"_s, u"file.bin"_s}).toBase64();
    return publicKey.size() == 32 && !sig.isEmpty();
}
} // namespace

class TestRelease : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void notAProgramIsRefused_data();
    void notAProgramIsRefused();
    void signedExecutable_data();
    void signedExecutable();
    void signedScript_data();
    void signedScript();
    void keyList_data();
    void keyList();

private:
    // One "Update App" click answered Yes, in a fresh installation of the
    // fixture; true when the new executable is in place.
    bool update(WebFixture &web, const QList<QByteArray> &keys, RecordingServices &window);
};

void TestRelease::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
}

bool TestRelease::update(WebFixture &web, const QList<QByteArray> &keys, RecordingServices &window)
{
    const QString exe = web.appFolder() + u"/Vantora.exe"_s;
    writeBytes(exe, kOldExe);
    writeBytes(web.appFolder() + u"/version.txt"_s, "1.0.0\r\n");
    web.publish(u"/updates/version.txt"_s, "1.1.0\r\n");
    window.answer({Answer::Yes});
    TestClock clock;
    RecordingProcesses processes;
    const Endpoints endpoints = web.endpoints();
    const Outcome outcome
        = AppUpdate(window, web.web(), clock, endpoints, web.appFolder(), processes, InstallFiles::plain(), keys).run();
    const bool replaced = readBytes(exe) != kOldExe;
    [&] { QCOMPARE(outcome.kind, replaced ? OutcomeKind::Done : OutcomeKind::Refused); }();
    if (!replaced) {
        // Refused: as a failed download, and nothing changed.
        [&] {
            QCOMPARE(window.only({u"box:critical"_s}),
                     QStringList{u"box:critical:Updater:Failed to download update."_s});
            QCOMPARE(readBytes(web.appFolder() + u"/version.txt"_s), QByteArray("1.0.0\r\n"));
            QCOMPARE(QDir(web.appFolder()).entryList(QDir::Files), (QStringList{u"Vantora.exe"_s, u"version.txt"_s}));
        }();
    }
    return replaced;
}

void TestRelease::notAProgramIsRefused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("htmlVersionToo");
    const QByteArray page = "<html><body>Access blocked by your school's web filter</body></html>";
    QTest::newRow("a program of 0 bytes") << QByteArray("") << QByteArray() << false;
    QTest::newRow("a web filter's page, status 200, for both files") << page << QByteArray("text/html") << true;
    QTest::newRow("a program answered as text/html") << kNewExe << QByteArray("text/html; charset=utf-8") << false;
    QTest::newRow("no executable header") << QByteArray("PK\x03\x04 a zip archive") << QByteArray() << false;
    QTest::newRow("a program: installed") << kNewExe << QByteArray() << false;
}

void TestRelease::notAProgramIsRefused()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(bool, htmlVersionToo);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    Fault answer;
    answer.body = body;
    answer.contentType = contentType;
    web.server().setFault(kExePath, answer);
    RecordingServices window;
    if (htmlVersionToo)
        web.server().setFault(u"/updates/version.txt"_s, answer);
    const bool installed = update(web, {}, window);
    QCOMPARE(installed, body == kNewExe && contentType.isEmpty());
}

void TestRelease::signedExecutable_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("installed");
    QTest::newRow("signed by the trusted key") << "good" << true;
    QTest::newRow("signed by the second (rotated) key") << "rotated" << true;
    QTest::newRow("signed with OpenSSL by a trusted key") << "openssl" << true;
    QTest::newRow("one byte of the file flipped") << "flipped" << false;
    QTest::newRow("signed by a key not trusted") << "untrusted" << false;
    QTest::newRow("no .sig published") << "missing" << false;
    QTest::newRow("a .sig that is not a signature") << "malformed" << false;
}

void TestRelease::signedExecutable()
{
    QFETCH(QString, how);
    QFETCH(bool, installed);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const KeyPair first = makeKey();
    const KeyPair second = makeKey();
    QList<QByteArray> keys{first.publicKey, second.publicKey};
    QByteArray published = kNewExe;
    QByteArray sig = sigText(published, how == QLatin1String("rotated") ? second : first);
    if (how == QLatin1String("openssl")) {
        QByteArray key;
        QVERIFY(opensslSignature(web.path(u""_s), published, key, sig));
        keys << key;
    } else if (how == QLatin1String("flipped")) {
        published[4] = char(published[4] ^ 0x01);
    } else if (how == QLatin1String("untrusted")) {
        sig = sigText(published, makeKey());
    } else if (how == QLatin1String("malformed")) {
        sig = "not base64 at all\r\n";
    }
    web.publish(kExePath, published);
    if (how != QLatin1String("missing"))
        web.publish(kExePath + u".sig"_s, sig);
    RecordingServices window;
    QCOMPARE(update(web, keys, window), installed);
    if (installed)
        QCOMPARE(readBytes(web.appFolder() + u"/Vantora.exe"_s), published);
}

void TestRelease::signedScript_data()
{
    QTest::addColumn<bool>("tampered");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("code"); // of the download; 0: offered to run
    QTest::newRow("signed: offered to run") << false << QByteArray() << 0;
    QTest::newRow("changed after signing: refused") << true << QByteArray() << int(TransferCode::BadSignature);
    QTest::newRow("answered as text/html: refused")
        << false << QByteArray("text/html") << int(TransferCode::NotARelease);
}

void TestRelease::signedScript()
{
    QFETCH(bool, tampered);
    QFETCH(QByteArray, contentType);
    QFETCH(int, code);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const KeyPair key = makeKey();
    const QByteArray script = "CREATE TABLE t (n int)\r\nGO\r\nINSERT INTO t VALUES (1)\r\n";
    web.publish(kScriptPath + u".sig"_s, sigText(script, key));
    Fault answer;
    answer.body = tampered ? script + "DROP TABLE t\r\n" : script;
    answer.contentType = contentType;
    web.server().setFault(kScriptPath, answer);
    writeBytes(web.appFolder() + u"/CONSTR.txt"_s, "127.0.0.1\r\n");
    int opened = 0;
    const DatabaseFactory databases = [&]() -> std::unique_ptr<Database> {
        ++opened;
        return nullptr;
    };
    RecordingServices window;
    window.answer({Answer::No});
    QString serverName;
    const Endpoints endpoints = web.endpoints();
    SpUpdate(window, web.web(), endpoints, web.appFolder(), databases, serverName, {key.publicKey}).run();

    const QString sp = web.appFolder() + u"/SP/LATEST.sql"_s;
    if (code == 0) {
        QVERIFY(window.statuses().last() == u"Downloading stored procedure script..."_s);
        QCOMPARE(window.boxes().last(),
                 u"box:question:Confirmation:Are you sure you want to execute the SQL script?"_s);
        QCOMPARE(readBytes(sp), script);
    } else {
        QCOMPARE(window.status(), u"Download failed. Error code: "_s + QString::number(code));
        QVERIFY(window.boxes().isEmpty()); // not asked, not read, not run
        QVERIFY(!QFile::exists(sp));
    }
    QCOMPARE(opened, 0);
}

void TestRelease::keyList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("keys"); // -1: refused
    const QString one = QString::fromLatin1(seededKey().publicKey.toBase64());
    const QString der
        = QString::fromLatin1((QByteArray::fromHex("302a300506032b6570032100") + seededKey().publicKey).toBase64());
    QTest::newRow("none") << QString() << 0;
    QTest::newRow("one") << one << 1;
    QTest::newRow("two, blanks around") << u" %1 ; %1 ;"_s.arg(one) << 2;
    QTest::newRow("the DER form") << der << 1;
    QTest::newRow("a key of 31 bytes") << QString::fromLatin1(QByteArray(31, 'k').toBase64()) << -1;
    QTest::newRow("not base64") << u"%1;not-a-key!"_s.arg(one) << -1;
    QTest::newRow("44 bytes, not the DER form")
        << QString::fromLatin1((QByteArray(12, '\0') + seededKey().publicKey).toBase64()) << -1;
}

void TestRelease::keyList()
{
    QFETCH(QString, text);
    QFETCH(int, keys);
    QString error;
    const QList<QByteArray> parsed = Signature::parseKeys(text, &error);
    QCOMPARE(int(parsed.size()), qMax(keys, 0));
    QCOMPARE(error.isEmpty(), keys >= 0);
    QVERIFY(std::ranges::all_of(parsed, [](const QByteArray &key) { return key == seededKey().publicKey; }));

    // The same list compiled into a build: one key that does not parse
    // leaves a build that accepts no file, not one that checks none.
    QStringList texts;
    for (const QString &item : text.split(u';'))
        if (!item.trimmed().isEmpty())
            texts << item;
    const QList<QByteArray> compiled = Signature::compiledKeys(texts);
    const QByteArray message = "#!new build\n";
    const QByteArray signature = Signature::parseSignatureText(sigText(message, seededKey()));
    const bool accepted = Signature::verify(message, signature, compiled);
    QCOMPARE(compiled.isEmpty(), keys == 0);
    QCOMPARE(accepted, keys > 0);
}

QTEST_GUILESS_MAIN(TestRelease)
#include "tst_release.moc"
