// Only what the publisher released is installed or run: the bodies that are
// no program, and the release manifest: in a build that carries keys its
// signature, serial, expiry and version, in any build its sizes, hashes
// and rollout.
#include "common/recordingprocesses.h"
#include "common/recordingservices.h"
#include "common/signature.h"
#include "common/testclock.h"
#include "common/webfixture.h"
#include "net/releasemanifest.h"
#include "net/releasepatch.h"
#include "net/transfercodes.h"
#include "sp/spupdate.h"
#include "update/appupdate.h"
#include "update/installfiles.h"
#include "update/releasemirror.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <algorithm>

#include <sodium.h>
#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

using Fault = HttpsFileServer::Fault;
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(OutcomeKind)

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
    void attacks_data();
    void attacks();
    void mirrorAndPatch_data();
    void mirrorAndPatch();
    void mirrorRun();
    void mirrorNeverWaits_data();
    void mirrorNeverWaits();
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

// A release as the publisher signs it: the manifest of the fixture's files.
struct Release
{
    ReleaseManifest manifest;
    QByteArray json;
    QByteArray sig;
};

Release makeRelease(const QByteArray &exe, const QByteArray &script)
{
    Release release;
    ReleaseManifest &m = release.manifest;
    m.serial = 1000;
    m.version = u"1.1.0"_s;
    m.signedAt = QDateTime::currentDateTimeUtc().addSecs(-3600);
    m.expires = m.signedAt.addDays(14);
    m.files.insert(u"Vantora.exe"_s,
                   ReleaseFile{exe.size(), QCryptographicHash::hash(exe, QCryptographicHash::Sha256), {}});
    m.files.insert(u"LATEST.sql"_s,
                   ReleaseFile{script.size(), QCryptographicHash::hash(script, QCryptographicHash::Sha256), {}});
    return release;
}

void TestRelease::attacks_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<OutcomeKind>("kind");
    QTest::addColumn<int>("code"); // the outcome's number
    const auto row = [](const char *name, const char *how, OutcomeKind kind, int code = 0) {
        QTest::newRow(name) << QString::fromLatin1(how) << kind << code;
    };
    using K = OutcomeKind;
    row("signed by the trusted key: installed", "good", K::Done);
    row("signed by the second (rotated) key", "rotated", K::Done);
    row("written by hand, signed with OpenSSL", "openssl", K::Done);
    row("published by updater-sign release", "tool", K::Done);
    row("updater-sign release --downgrade: below the installed", "tool, downgrade", K::Done);
    row("updater-sign: an error page as Vantora.exe", "tool, page", K::Refused, TransferCode::BadManifest);
    row("updater-sign: an empty Vantora.exe", "tool, empty", K::Refused, TransferCode::BadManifest);
    row("updater-sign: a line end inside the version", "tool, line end", K::Refused, TransferCode::BadManifest);
    row("an older version, a higher serial", "older", K::Refused, TransferCode::OlderManifest);
    row("1.1 installed, 1.1.0 published: one version", "fewer parts", K::UpToDate);
    row("replaced while read: fetched again", "replaced once", K::Done);
    row("rollback: a lower serial than accepted", "rollback", K::Refused, TransferCode::OlderManifest);
    row("expired", "expired", K::Expired, TransferCode::ExpiredManifest);
    row("expired, on that version already", "expired, current", K::Expired, TransferCode::ExpiredManifest);
    row("version.txt announces another version", "other version", K::Refused, TransferCode::OtherVersion);
    row("a size that differs", "size", K::Refused, TransferCode::NotListed);
    row("one byte of the file flipped", "flipped", K::Refused, TransferCode::NotListed);
    row("a body longer than its size, no length", "longer", K::Refused, TransferCode::NotListed);
    row("the program not listed", "unlisted", K::Refused, TransferCode::NotListed);
    row("signed by a key not trusted", "untrusted", K::Refused, TransferCode::BadManifest);
    row("changed after signing", "altered", K::Refused, TransferCode::BadManifest);
    row("a .sig that is not a signature", "malformed", K::Refused, TransferCode::BadManifest);
    row("no manifest published", "no manifest", K::Refused, TransferCode::BadManifest);
    row("no signature published", "no sig", K::Refused, TransferCode::BadManifest);
    row("version.txt empty", "empty version", K::Refused, TransferCode::OtherVersion);
    row("the accepted serial cannot be read", "state unreadable", K::Refused, TransferCode::BadManifest);
    row("halted", "halt", K::UpToDate);
    row("a 0 % rollout", "0 %", K::UpToDate);
    row("unsigned build: a spliced file", "unsigned, spliced", K::Refused, TransferCode::NotListed);
    row("unsigned build: no manifest", "unsigned, none", K::Done);
    row("script: the current release's", "sp", K::Declined);
    row("script: an old manifest replayed", "sp rollback", K::Refused, TransferCode::OlderManifest);
    row("script: changed after signing", "sp altered", K::Refused, TransferCode::NotListed);
    row("script: expired", "sp expired", K::Expired, TransferCode::ExpiredManifest);
    row("script: halted", "sp halt", K::UpToDate);
    row("script: answered as text/html", "sp html", K::Refused, TransferCode::NotARelease);
}

void TestRelease::attacks()
{
    QFETCH(QString, how);
    QFETCH(OutcomeKind, kind);
    QFETCH(int, code);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const KeyPair first = makeKey();
    const KeyPair second = makeKey();
    QList<QByteArray> keys{first.publicKey, second.publicKey};
    const QByteArray script = "CREATE TABLE t (n int)\r\nGO\r\nINSERT INTO t VALUES (1)\r\n";
    Release release = makeRelease(kNewExe, script);
    ReleaseManifest &m = release.manifest;
    QByteArray exe = kNewExe;
    QByteArray servedScript = script;
    const auto is = [&](const char *name) { return how == QLatin1String(name); };
    const QString app = web.appFolder();
    QVERIFY(QDir().mkpath(app));
    writeBytes(app + u"/Vantora.exe"_s, kOldExe);
    const bool above = is("older") || is("tool, downgrade");
    writeBytes(app + u"/version.txt"_s,
               is("expired, current")  ? "1.1.0\r\n"
                   : above             ? "1.2.0\r\n"
                   : is("fewer parts") ? "1.1\r\n"
                                       : "1.0.0\r\n");
    web.publish(u"/updates/version.txt"_s,
                is("other version")       ? "1.2.0\r\n"
                    : is("empty version") ? "\r\n"
                                          : "1.1.0\r\n");
    if (is("state unreadable"))
        QVERIFY(QDir().mkpath(app + u"/updater.state"_s));

    if (is("rollback") || is("sp rollback"))
        writeBytes(app + u"/updater.state"_s, "serial=1001\r\n");
    if (is("expired") || is("expired, current") || is("sp expired"))
        m.expires = QDateTime::currentDateTimeUtc().addSecs(-60);
    if (is("size"))
        m.files[u"Vantora.exe"_s].size += 1;
    if (is("tool, page"))
        exe = "<html><body>Access blocked by your school's web filter</body></html>";
    if (is("tool, empty"))
        exe.clear();
    if (is("flipped") || is("unsigned, spliced"))
        exe[4] = char(exe[4] ^ 0x01);
    if (is("unlisted"))
        m.files.remove(u"Vantora.exe"_s);
    if (is("halt") || is("sp halt"))
        m.halted = true;
    if (is("0 %"))
        m.rolloutPercent = 0;
    if (is("sp altered"))
        servedScript += "DROP TABLE t\r\n";
    if (is("unsigned, spliced") || is("unsigned, none"))
        keys.clear();
    release.json = m.toJson();
    release.sig = sigText(release.json, is("rotated") ? second : is("untrusted") ? makeKey() : first);
    if (is("altered"))
        release.json.replace("1.1.0", "1.1.0 ");
    if (is("malformed"))
        release.sig = "not base64 at all\r\n";
    if (is("openssl")) {
        // The format as any pipeline writes it: no rollout, members in
        // another order, one the desk does not know.
        release.json = "{\"version\": \"1.1.0\", \"serial\": 7, \"comment\": \"built by hand\",\n"
                       " \"signed\": \"2026-01-01T00:00:00Z\", \"expires\": \"2999-01-01T00:00:00Z\",\n"
                       " \"files\": {\"Vantora.exe\": {\"size\": "
            + QByteArray::number(kNewExe.size()) + ", \"sha256\": \""
            + QCryptographicHash::hash(kNewExe, QCryptographicHash::Sha256).toHex() + "\"}}}\n";
        QByteArray key;
        QVERIFY(opensslSignature(web.path(u""_s), release.json, key, release.sig));
        keys = {key};
    }
    web.publish(kExePath, exe);
    web.publish(kScriptPath, servedScript);
    if (how.startsWith(u"tool"_s)) {
        // The publisher's own step over the served folder; it refuses what
        // no desk would take.
        const QString secret = web.path(u"publisher.key"_s);
        QProcess tool;
        tool.start(QStringLiteral(UPDATER_SIGN), {u"keygen"_s, secret});
        QVERIFY(tool.waitForFinished() && tool.exitCode() == 0);
        keys = {QByteArray::fromBase64(tool.readAllStandardOutput().trimmed())};
        QStringList args{u"release"_s, web.root(),     u"--key"_s,
                         secret,       u"--version"_s, is("tool, line end") ? u"1.1\n.0"_s : u"1.1.0"_s};
        if (is("tool, downgrade"))
            args << u"--downgrade"_s;
        tool.start(QStringLiteral(UPDATER_SIGN), args);
        QVERIFY(tool.waitForFinished());
        QVERIFY2(tool.exitCode()
                     == (is("tool, line end")            ? 2
                             : kind == OutcomeKind::Done ? 0
                                                         : 3),
                 tool.readAllStandardError().constData());
    } else if (!is("no manifest") && !is("unsigned, none")) {
        web.publish(u"/updates/release.json"_s, release.json);
        if (!is("no sig"))
            web.publish(u"/updates/release.json.sig"_s, release.sig);
    }
    if (is("replaced once")) {
        Fault old;
        old.times = 1;
        old.body = makeRelease(kOldExe, script).manifest.toJson();
        web.server().setFault(u"/updates/release.json"_s, old);
    }
    if (is("longer")) {
        // The program and more, without a length, then the connection
        // drops: cut where the release says the program ends, not retried
        // as a body without an end would be.
        web.publish(kExePath, exe + QByteArray(1 << 20, 'x'));
        Fault longer;
        longer.noLength = true;
        longer.dropAfter = exe.size() + 4096;
        web.server().setFault(kExePath, longer);
    }
    if (is("sp html")) {
        Fault page;
        page.contentType = "text/html";
        page.body = servedScript;
        web.server().setFault(kScriptPath, page);
    }

    RecordingServices window;
    TestClock clock;
    RecordingProcesses processes;
    const Endpoints endpoints = web.endpoints();
    if (how.startsWith(u"sp"_s)) {
        writeBytes(app + u"/CONSTR.txt"_s, "127.0.0.1\r\n");
        window.answer({Answer::No});
        QString serverName;
        const DatabaseFactory none = []() -> std::unique_ptr<Database> { return nullptr; };
        const Outcome outcome = SpUpdate(window, web.web(), endpoints, app, none, serverName, keys).run();
        QCOMPARE(outcome.kind, kind);
        QCOMPARE(outcome.number, code);
        const QString sp = app + u"/SP/LATEST.sql"_s;
        if (kind == OutcomeKind::Declined) {
            QCOMPARE(window.boxes().last(),
                     u"box:question:Confirmation:Are you sure you want to execute the SQL script?"_s);
            QCOMPARE(readBytes(sp), script);
        } else if (kind == OutcomeKind::UpToDate) {
            QCOMPARE(window.status(), u"Already up to date."_s);
            QVERIFY(!QFile::exists(sp));
        } else {
            QCOMPARE(window.status(), u"Download failed. Error code: "_s + QString::number(code));
            QVERIFY(window.boxes().isEmpty()); // not asked, not read, not run
            QVERIFY(!QFile::exists(sp));
        }
        return;
    }
    window.answer({Answer::Yes});
    const Outcome outcome
        = AppUpdate(window, web.web(), clock, endpoints, app, processes, InstallFiles::plain(), keys).run();
    QCOMPARE(outcome.kind, kind);
    QCOMPARE(outcome.number, code);
    QCOMPARE(readBytes(app + u"/Vantora.exe"_s), kind == OutcomeKind::Done ? kNewExe : kOldExe);
    QVERIFY(!QFile::exists(WebClient::partialPath(app + u"/Vantora_new.exe"_s)));
    const QStringList boxes = window.only({u"box:critical"_s, u"box:info"_s});
    if (kind == OutcomeKind::Refused || (kind == OutcomeKind::Expired && !is("expired, current")))
        QCOMPARE(boxes, QStringList{u"box:critical:Updater:Failed to download update."_s});
    if (kind == OutcomeKind::UpToDate || is("expired, current")) {
        QCOMPARE(window.status(), u"Already up to date."_s);
        QVERIFY(!web.server().requests().contains(kExePath));
    }
    if (kind == OutcomeKind::Expired) // the log hears both times
        QVERIFY(outcome.reason.contains(u"expired at "_s) && outcome.reason.contains(u"clock says "_s));
}

void TestRelease::mirrorAndPatch_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<OutcomeKind>("kind");
    QTest::addColumn<QString>("way"); // what the outcome says the program came by
    const auto row = [](const char *name, const char *how, OutcomeKind kind, const char *way) {
        QTest::newRow(name) << QString::fromLatin1(how) << kind << QString::fromLatin1(way);
    };
    using K = OutcomeKind;
    row("a patch from the publisher", "patch", K::Done, "patch (");
    row("a corrupt patch: the whole file", "corrupt patch", K::Done, "whole file");
    row("a patch to other bytes: the whole file", "patch result differs", K::Done, "whole file");
    row("the program changed by hand: the whole file", "changed by hand", K::Done, "whole file");
    row("a patch that needs too large a window: the whole file", "window", K::Done, "whole file");
    row("the patch from a folder mirror", "mirror, patch", K::Done, "patch (");
    row("the whole file from an https mirror", "https mirror", K::Done, "from the mirror https://");
    row("a mirror with wrong bytes: the publisher", "mirror wrong", K::Done, "from the publisher");
    row("a mirror with nothing: the publisher", "mirror empty", K::Done, "from the publisher");
    row("the publisher down, the mirror's release", "publisher down", K::Done, "from the mirror");
    row("the publisher down, the mirror's older release", "publisher down, old mirror", K::Refused, "");
    row("the publisher down, a build without keys", "publisher down, unsigned", K::DownloadFailed, "");
    row("the publisher down, a fresh desk above the mirror's version", "publisher down, fresh desk above", K::Refused,
        "");
    row("the script from the mirror, publisher down", "sp publisher down", K::Declined, "");
}

void TestRelease::mirrorAndPatch()
{
    QFETCH(QString, how);
    QFETCH(OutcomeKind, kind);
    QFETCH(QString, way);
    const auto is = [&](const char *name) { return how == QLatin1String(name); };
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const KeyPair key = makeKey();
    const QList<QByteArray> keys = is("publisher down, unsigned") ? QList<QByteArray>{} : QList{key.publicKey};
    const QString app = web.appFolder();
    QVERIFY(QDir().mkpath(app));
    const QByteArray oldExe = kOldExe + QByteArray(4000, 'o');
    const QByteArray newExe = kNewExe + QByteArray(4000, 'o');
    writeBytes(app + u"/Vantora.exe"_s, is("changed by hand") ? oldExe + "x" : oldExe);
    // A desk that never ran the updater: no serial seen yet.
    const bool fresh = is("publisher down, fresh desk above");
    writeBytes(app + u"/version.txt"_s, fresh ? "1.2.0\r\n" : "1.0.0\r\n");
    writeBytes(web.path(u"old.exe"_s), oldExe);
    QByteArray otherExe = newExe;
    otherExe[20] = 'y'; // the listed size, other bytes: only the hash tells
    writeBytes(web.path(u"new.exe"_s), is("patch result differs") ? otherExe : newExe);
    int windowLog = 0;
    QVERIFY(
        ReleasePatch::make(web.path(u"old.exe"_s), web.path(u"new.exe"_s), web.path(u"p"_s), 3, &windowLog).isEmpty());
    QByteArray patch = readBytes(web.path(u"p"_s));
    if (is("corrupt patch"))
        patch[patch.size() / 2] = char(patch[patch.size() / 2] ^ 0x40);
    const QByteArray script = "SELECT 1\r\n";
    Release release = makeRelease(newExe, script);
    const QByteArray from = QCryptographicHash::hash(oldExe, QCryptographicHash::Sha256);
    release.manifest.files[u"Vantora.exe"_s].patches
        << ReleasePatchEntry{from, patch.size(), QCryptographicHash::hash(patch, QCryptographicHash::Sha256),
                             is("window") ? ReleasePatch::kMaxWindowLog + 1 : windowLog};
    const QString patchName = ReleasePatch::publishedName(u"Vantora.exe"_s, from);
    release.json = release.manifest.toJson();
    release.sig = sigText(release.json, key);
    const QMap<QString, QByteArray> files{
        {u"version.txt"_s, "1.1.0\r\n"}, {u"release.json"_s, release.json}, {u"release.json.sig"_s, release.sig},
        {u"Vantora.exe"_s, newExe},      {u"LATEST.sql"_s, script},         {patchName, patch}};
    // The publisher, and the school's mirror as a folder and over https.
    const QString mirror = web.path(u"mirror"_s);
    for (auto it = files.begin(); it != files.end(); ++it) {
        const bool inMirror = how.contains(u"mirror"_s) || how.contains(u"down"_s);
        const bool program = it.key() == u"Vantora.exe"_s || it.key() == patchName;
        QByteArray mirrored = is("mirror wrong") && program ? oldExe : it.value();
        if (is("publisher down, old mirror") && it.key().startsWith(u"release.json"_s)) {
            Release older = release;
            older.manifest.serial = 999;
            mirrored = it.key() == u"release.json"_s ? older.manifest.toJson() : sigText(older.manifest.toJson(), key);
        }
        web.publish(u"/updates/"_s + it.key(), it.value());
        if (inMirror && !is("mirror empty") && !is("https mirror")) {
            QVERIFY(QDir().mkpath(mirror + u"/updates/patches"_s));
            writeBytes(mirror + u"/updates/"_s + it.key(), mirrored);
        }
        if (is("https mirror") && !it.key().startsWith(u"patches"_s))
            web.publish(u"/school/updates/"_s + it.key(), mirrored);
    }
    if (is("mirror wrong") || is("https mirror") || is("mirror, patch"))
        web.server().setFault(u"/updates/"_s + patchName, HttpsFileServer::Fault::answering(404));
    if (how.contains(u"down"_s)) {
        for (const QString &name : files.keys())
            web.server().setFault(u"/updates/"_s + name, HttpsFileServer::Fault::answering(503));
        if (!fresh)
            writeBytes(app + u"/updater.state"_s, "serial=1000\r\n");
    }
    Endpoints endpoints = web.endpoints();
    endpoints.setMirror(is("https mirror") ? u"https://"_s + web.server().host() + u"/school"_s : mirror);

    RecordingServices window;
    TestClock clock;
    RecordingProcesses processes;
    if (how.startsWith(u"sp"_s)) {
        writeBytes(app + u"/CONSTR.txt"_s, "127.0.0.1\r\n");
        window.answer({Answer::No});
        QString serverName;
        const DatabaseFactory none = []() -> std::unique_ptr<Database> { return nullptr; };
        const Outcome outcome = SpUpdate(window, web.web(), endpoints, app, none, serverName, keys).run();
        QCOMPARE(outcome.kind, kind);
        QCOMPARE(readBytes(app + u"/SP/LATEST.sql"_s), script);
        return;
    }
    window.answer({Answer::Yes});
    const Outcome outcome
        = AppUpdate(window, web.web(), clock, endpoints, app, processes, InstallFiles::plain(), keys).run();
    QCOMPARE(outcome.kind, kind);
    QVERIFY2(outcome.reason.contains(way), qPrintable(outcome.reason));
    QCOMPARE(readBytes(app + u"/Vantora.exe"_s), kind == OutcomeKind::Done ? newExe : oldExe);
    const QStringList left = QDir(app).entryList({u"Vantora_new.exe*"_s}, QDir::Files);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));
}

void TestRelease::mirrorRun()
{
    // The school's server keeps its mirror: a run that breaks off leaves
    // the last release whole; the next takes the patch from its own copy.
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const KeyPair key = makeKey();
    const QString mirror = web.path(u"mirror"_s);
    const QByteArray first = kOldExe + QByteArray(300'000, 'a');
    const QByteArray second = kNewExe + QByteArray(300'000, 'a');
    bool made = true;
    auto publish = [&](const QByteArray &exe, qint64 serial, bool withPatch) {
        Release release = makeRelease(exe, "SELECT 1\r\n");
        release.manifest.serial = serial;
        if (withPatch) {
            writeBytes(web.path(u"a"_s), first);
            writeBytes(web.path(u"b"_s), second);
            int windowLog = 0;
            made = ReleasePatch::make(web.path(u"a"_s), web.path(u"b"_s), web.path(u"p"_s), 3, &windowLog).isEmpty();
            const QByteArray patch = readBytes(web.path(u"p"_s));
            const QByteArray from = QCryptographicHash::hash(first, QCryptographicHash::Sha256);
            release.manifest.files[u"Vantora.exe"_s].patches
                << ReleasePatchEntry{from, patch.size(), QCryptographicHash::hash(patch, QCryptographicHash::Sha256),
                                     windowLog};
            web.publish(u"/updates/"_s + ReleasePatch::publishedName(u"Vantora.exe"_s, from), patch);
        }
        release.json = release.manifest.toJson();
        web.publish(u"/updates/version.txt"_s, "1.1.0\r\n");
        web.publish(u"/updates/release.json"_s, release.json);
        web.publish(u"/updates/release.json.sig"_s, sigText(release.json, key));
        web.publish(u"/updates/Vantora.exe"_s, exe);
        web.publish(u"/updates/LATEST.sql"_s, "SELECT 1\r\n");
        return release.json;
    };
    RecordingServices window;
    const Endpoints endpoints = web.endpoints();
    auto run = [&] { return ReleaseMirror(window, web.web(), endpoints, mirror, {key.publicKey}).run(); };
    const QByteArray firstJson = publish(first, 1000, false);
    QCOMPARE(run().kind, OutcomeKind::Done);
    QCOMPARE(run().kind, OutcomeKind::UpToDate);

    // The next release, with the patch and the program both cut off.
    publish(second, 1001, true);
    QVERIFY(made);
    web.server().setFault(u"/updates/"_s
                              + ReleasePatch::publishedName(u"Vantora.exe"_s,
                                                            QCryptographicHash::hash(first,
                                                                                     QCryptographicHash::Sha256)),
                          HttpsFileServer::Fault::answering(404));
    web.server().setFault(u"/updates/Vantora.exe"_s, HttpsFileServer::Fault::answering(404));
    QCOMPARE(run().kind, OutcomeKind::DownloadFailed);
    QCOMPARE(readBytes(mirror + u"/updates/release.json"_s), firstJson);
    QCOMPARE(readBytes(mirror + u"/updates/Vantora.exe"_s), first);

    web.server().clearFaults();
    const QString patchPath = u"/updates/"_s
        + ReleasePatch::publishedName(u"Vantora.exe"_s, QCryptographicHash::hash(first, QCryptographicHash::Sha256));
    const qsizetype asked = web.server().requests().count(patchPath);
    const Outcome done = run();
    QCOMPARE(done.kind, OutcomeKind::Done);
    QVERIFY2(done.reason.contains(u"Vantora.exe: patch ("_s), qPrintable(done.reason));
    QCOMPARE(web.server().requests().count(patchPath), asked + 1); // over the line once
    QCOMPARE(readBytes(mirror + u"/updates/Vantora.exe"_s), second);
    // An older release served again is not mirrored.
    publish(first, 1000, false);
    QCOMPARE(run().number, TransferCode::OlderManifest);
    QCOMPARE(readBytes(mirror + u"/updates/Vantora.exe"_s), second);
}

void TestRelease::mirrorNeverWaits_data()
{
    QTest::addColumn<QString>("file"); // in the mirror's folder, made a pipe
    for (const char *file : {"updater.state", "updates/version.txt", "updates/release.json", "updates/Vantora.exe.sig",
                             "updates/Vantora.exe"})
        QTest::newRow(file) << QString::fromLatin1(file);
}

void TestRelease::mirrorNeverWaits()
{
#ifdef Q_OS_WIN
    QSKIP("pipes in a folder are a Linux matter");
#else
    // A pipe planted in the mirror's folder: the run ends instead of
    // holding the folder's lock for ever, and the next is not kept out.
    QFETCH(QString, file);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const KeyPair key = makeKey();
    const QString mirror = web.path(u"mirror"_s);
    const QByteArray first = kOldExe + QByteArray(3000, 'a');
    const QByteArray exe = kNewExe + QByteArray(3000, 'a');
    writeBytes(web.path(u"a"_s), first);
    writeBytes(web.path(u"b"_s), exe);
    int windowLog = 0;
    QVERIFY(ReleasePatch::make(web.path(u"a"_s), web.path(u"b"_s), web.path(u"p"_s), 3, &windowLog).isEmpty());
    const QByteArray patch = readBytes(web.path(u"p"_s));
    const QByteArray from = QCryptographicHash::hash(first, QCryptographicHash::Sha256);
    Release release = makeRelease(exe, "SELECT 1\r\n");
    release.manifest.files[u"Vantora.exe"_s].patches
        << ReleasePatchEntry{from, patch.size(), QCryptographicHash::hash(patch, QCryptographicHash::Sha256),
                             windowLog};
    release.json = release.manifest.toJson();
    const QMap<QString, QByteArray> files{{u"version.txt"_s, "1.1.0\r\n"},
                                          {u"release.json"_s, release.json},
                                          {u"release.json.sig"_s, sigText(release.json, key)},
                                          {u"Vantora.exe"_s, exe},
                                          {u"Vantora.exe.sig"_s, sigText(exe, key)},
                                          {u"LATEST.sql"_s, "SELECT 1\r\n"},
                                          {ReleasePatch::publishedName(u"Vantora.exe"_s, from), patch}};
    for (auto it = files.begin(); it != files.end(); ++it)
        web.publish(u"/updates/"_s + it.key(), it.value());
    RecordingServices window;
    const Endpoints endpoints = web.endpoints();
    auto run = [&] { return ReleaseMirror(window, web.web(), endpoints, mirror, {key.publicKey}).run(); };
    QCOMPARE(run().kind, OutcomeKind::Done);

    const QString pipe = mirror + u'/' + file;
    QVERIFY(QFile::remove(pipe));
    if (::mkfifo(QFile::encodeName(pipe).constData(), 0600) != 0)
        QSKIP("this file system makes no pipes");
    // The run on a thread of its own, with a client of its own; the server
    // answers on this one.
    Outcome outcome;
    RecordingServices quiet;
    QThread *const mirrorThread = QThread::create([&] {
        WebClient own(web.options());
        outcome = ReleaseMirror(quiet, own, endpoints, mirror, {key.publicKey}).run();
    });
    mirrorThread->start();
    const bool ended = QTest::qWaitFor([&] { return mirrorThread->isFinished(); }, 30'000);
    const Outcome next = run();
    // Let every waiting open go, so that the test ends.
    for (int turn = 0; turn < 100 && !mirrorThread->isFinished(); ++turn) {
        ::close(::open(QFile::encodeName(pipe).constData(), O_RDWR | O_NONBLOCK));
        static_cast<void>(QTest::qWaitFor([&] { return mirrorThread->isFinished(); }, 300));
    }
    QVERIFY2(mirrorThread->wait(QDeadlineTimer(30'000)), "the run cannot be let go");
    delete mirrorThread;
    QVERIFY2(ended, "the run waits on the pipe");
    QVERIFY2(outcome.kind != OutcomeKind::Busy && next.kind != OutcomeKind::Busy, qPrintable(next.reason));
#endif
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
