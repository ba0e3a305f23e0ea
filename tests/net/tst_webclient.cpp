#include "common/failure.h"
#include "common/webfixture.h"
#include "connectproxy.h"
#include "net/curlsession.h"
#include "net/releasesource.h"
#include "net/transfercodes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <future>

using Fault = HttpsFileServer::Fault;
Q_DECLARE_METATYPE(Fault)

class TestWebClient : public QObject
{
    Q_OBJECT
private slots:
    void fetchTextReturnsBody_data();
    void fetchTextReturnsBody();
    void fetchTextFailures_data();
    void fetchTextFailures();
    void fetchTextRefusesUntrustedCertificate();
    void fetchTextRefusesOversizedBody();
    void downloadWritesFile();
    void downloadFailuresKeepExistingFile_data();
    void downloadFailuresKeepExistingFile();
    void stallRule_data();
    void stallRule();
    void downloadStallRule_data();
    void downloadStallRule();
    void rateLimit_data();
    void rateLimit();
    void downloadResumes_data();
    void downloadResumes();
    void downloadRetries_data();
    void downloadRetries();
    void downloadBounded_data();
    void downloadBounded();
    void downloadIntoMissingFolderFails();
    void downloadFollowsRedirectWithinHttps();
    void proxySettings_data();
    void proxySettings();
    void quittingIsNoAnswer_data();
    void quittingIsNoAnswer();
};

void TestWebClient::fetchTextReturnsBody_data()
{
    QTest::addColumn<Fault>("fault");
    Fault compressed;
    compressed.gzip = true;
    Fault chunked;
    chunked.chunked = true;
    QTest::newRow("with its length") << Fault();
    QTest::newRow("gzip-compressed") << compressed;
    QTest::newRow("chunked") << chunked;
}

void TestWebClient::fetchTextReturnsBody()
{
    QFETCH(Fault, fault);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/updates/version.txt"), "1.2.0\r\n");
    web.server().setFault(QStringLiteral("/updates/version.txt"), fault);
    QCOMPARE(web.web().fetchText(web.url(QStringLiteral("/updates/version.txt?t=1.5"))).textOrThrow(),
             QStringLiteral("1.2.0\r\n"));
    QCOMPARE(web.server().requests(), QStringList{QStringLiteral("/updates/version.txt?t=1.5")});
}

void TestWebClient::fetchTextFailures_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("status"); // how an HTTP status reads in the reason
    QTest::newRow("404") << Fault::answering(404) << 404 << QStringLiteral("404 Not Found");
    QTest::newRow("500") << Fault::answering(500) << 500 << QStringLiteral("500 Internal Server Error");
    QTest::newRow("dropped after 3 bytes") << Fault::droppedAfter(3) << -1 << QString();
    Fault unbounded;
    unbounded.noLength = true;
    Fault unboundedCut = Fault::droppedAfter(3);
    unboundedCut.noLength = true;
    Fault chunkedCut = Fault::droppedAfter(3);
    chunkedCut.chunked = true;
    QTest::newRow("no length: the end is not proven") << unbounded << int(TransferCode::Unbounded) << QString();
    QTest::newRow("no length, cut after 3 bytes") << unboundedCut << int(TransferCode::Unbounded) << QString();
    QTest::newRow("chunked, cut after 3 bytes") << chunkedCut << -1 << QString();
    QTest::newRow("no answer") << Fault::noAnswer() << int(TransferCode::TimedOut) << QString();
    QTest::newRow("headers, then nothing") << Fault::silentAfterHeaders() << int(TransferCode::TimedOut) << QString();
    QTest::newRow("redirect to http") << Fault::redirect(QStringLiteral("http://127.0.0.1:9/updates/version.txt"))
                                      << int(TransferCode::RefusedRedirect) << QString();
}

void TestWebClient::fetchTextFailures()
{
    QFETCH(Fault, fault);
    QFETCH(int, number);
    QFETCH(QString, status);
    WebFixture web(1'000);
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/updates/version.txt"), "1.2.0 and some more text\r\n");
    web.server().setFault(QStringLiteral("/updates/version.txt"), fault);
    const QUrl url = web.url(QStringLiteral("/updates/version.txt"));
    const TransferResult result = web.web().fetchText(url);
    QVERIFY2(!result.ok(), qPrintable(QStringLiteral("no failure, got: ") + result.text));
    QVERIFY(result.text.isEmpty());
    // What an action's error trap catches.
    Failure failure;
    try {
        result.textOrThrow();
    } catch (const Failure &thrown) {
        failure = thrown;
    }
    if (number >= 0)
        QCOMPARE(failure.number, number);
    else
        QVERIFY(failure.number != 0);
    QVERIFY(!failure.description.isEmpty());
    if (!status.isEmpty())
        QCOMPARE(failure.description,
                 QStringLiteral("The server answered %1 for %2").arg(status, url.toDisplayString()));
}

void TestWebClient::fetchTextRefusesUntrustedCertificate()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    // Same authority, but the certificate names another host.
    HttpsFileServer other(web.root(), web.pki().otherCertFile, web.pki().otherKeyFile);
    QVERIFY(other.listen());
    web.publish(QStringLiteral("/updates/version.txt"), "1.2.0\r\n");
    const QUrl url(QStringLiteral("https://%1/updates/version.txt").arg(other.host()));
    QCOMPARE(web.web().fetchText(url).code, TransferCode::Certificate);
    // A client that does not trust the authority refuses the right host too.
    TransferOptions plain = web.options();
    plain.caFile.clear();
    WebClient untrusting(plain);
    QVERIFY(
        !untrusting.downloadToFile(web.url(QStringLiteral("/updates/version.txt")), web.path(QStringLiteral("v.txt")))
             .ok());
    QVERIFY(!QFile::exists(web.path(QStringLiteral("v.txt"))));
}

void TestWebClient::fetchTextRefusesOversizedBody()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/big.txt"), QByteArray(16 * 1024 * 1024 + 1, 'x'));
    web.publish(QStringLiteral("/limit.txt"), QByteArray(16 * 1024 * 1024, 'x'));
    QCOMPARE(web.web().fetchText(web.url(QStringLiteral("/limit.txt"))).text.size(), 16 * 1024 * 1024);
    QCOMPARE(web.web().fetchText(web.url(QStringLiteral("/big.txt"))).code, TransferCode::TooLarge);
}

void TestWebClient::downloadWritesFile()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    QByteArray content;
    for (int i = 0; i < 200'000; ++i)
        content += char(i * 7);
    web.publish(QStringLiteral("/updates/Vantora.exe"), content);
    const QString target = web.path(QStringLiteral("app/Vantora_new.exe"));
    writeBytes(target, "old content");
    QCOMPARE(web.web().downloadToFile(web.url(QStringLiteral("/updates/Vantora.exe")), target).code, 0);
    QCOMPARE(readBytes(target), content);
    QCOMPARE(QDir(web.appFolder()).entryList(QDir::Files), QStringList{QStringLiteral("Vantora_new.exe")});
}

void TestWebClient::downloadFailuresKeepExistingFile_data()
{
    fetchTextFailures_data();
}

void TestWebClient::downloadFailuresKeepExistingFile()
{
    QFETCH(Fault, fault);
    QFETCH(int, number);
    QFETCH(QString, status);
    WebFixture web(1'000);
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/r/report.rpt"), QByteArray(100'000, 'n'));
    web.server().setFault(QStringLiteral("/r/report.rpt"), fault);
    const QString target = web.path(QStringLiteral("app/report.rpt"));
    writeBytes(target, "the report the user already has");

    const QUrl url = web.url(QStringLiteral("/r/report.rpt"));
    const TransferResult result = web.web().downloadToFile(url, target);
    if (number >= 0)
        QCOMPARE(result.code, number);
    else
        QVERIFY(result.code != 0);
    if (!status.isEmpty())
        QCOMPARE(result.reason, QStringLiteral("The server answered %1 for %2").arg(status, url.toDisplayString()));
    QCOMPARE(readBytes(target), QByteArray("the report the user already has"));
    // No temporary file is left behind.
    QCOMPARE(QDir(web.appFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("report.rpt")});
}

void TestWebClient::stallRule_data()
{
    // The rule: 1 KiB/s over 400 ms. Each step: ms since the last step, the
    // bytes that came, ms the rate limit held the transfer back.
    QTest::addColumn<QList<QList<int>>>("steps");
    QTest::addColumn<bool>("stalled");
    QTest::newRow("steady 2.5 KiB/s") << QList<QList<int>>(16, {25, 64, 0}) << false;
    QTest::newRow("a trickle of 400 B/s") << QList<QList<int>>(16, {25, 10, 0}) << true;
    QTest::newRow("nothing since the start") << QList<QList<int>>{{450, 0, 0}} << true;
    QTest::newRow("quick, then nothing") << QList<QList<int>>{{50, 4096, 0}, {400, 0, 0}, {400, 0, 0}} << true;
    QTest::newRow("held back by the rate limit, not stalled")
        << QList<QList<int>>{{50, 100, 0}, {1000, 400, 900}, {1000, 400, 900}} << false;
}

void TestWebClient::stallRule()
{
    QFETCH(QList<QList<int>>, steps);
    QFETCH(bool, stalled);
    auto now = StallRule::Clock::now();
    StallRule rule(1024, 400, now);
    qint64 received = 0;
    bool seen = false;
    for (const QList<int> &step : steps) {
        now += std::chrono::milliseconds(step.at(0));
        received += step.at(1);
        rule.held(std::chrono::milliseconds(step.at(2)));
        seen = seen || rule.stalled(received, now);
    }
    QCOMPARE(seen, stalled);
}

void TestWebClient::downloadStallRule_data()
{
    QTest::addColumn<bool>("folder"); // the copy from a mirror folder, else the download from the server
    QTest::newRow("a server trickling 400 B/s") << false;
    QTest::newRow("a mirror folder whose read hangs") << true;
}

void TestWebClient::downloadStallRule()
{
    QFETCH(bool, folder);
    WebFixture web(400);
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/updates/slow.bin"), QByteArray(400, 's'));
    Fault trickle; // 400 B/s for a second, well past the stall time
    trickle.trickleBytes = 10;
    trickle.trickleIntervalMs = 25;
    web.server().setFault(QStringLiteral("/updates/slow.bin"), trickle);
    // The folder's read hangs, as on a share that stopped answering, until
    // the test ends.
    std::promise<void> release;
    TransferOptions options = web.options();
    options.folderRead = [gone = release.get_future().share()](QIODevice &file, qint64 most) {
        gone.wait_for(std::chrono::seconds(5));
        return file.read(most);
    };
    WebClient client(options);
    const auto source
        = folder ? ReleaseSource::mirror(web.root()) : std::optional(ReleaseSource::publisher(web.endpoints()));
    // The window's thread goes on meanwhile.
    bool ticked = false;
    QTimer tick;
    tick.setSingleShot(true);
    connect(&tick, &QTimer::timeout, this, [&] { ticked = true; });
    tick.start(100);
    QElapsedTimer timer;
    timer.start();

    const QString target = web.path(QStringLiteral("app/slow.bin"));
    QCOMPARE(source->download(client, QStringLiteral("slow.bin"), target, {}).code, int(TransferCode::TimedOut));
    QVERIFY2(timer.elapsed() < 3'000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(ticked);
    // The read left behind, let go, writes nothing and leaves nothing.
    release.set_value();
    QTRY_COMPARE(QDir(web.appFolder()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestWebClient::rateLimit_data()
{
    QTest::addColumn<bool>("download");
    QTest::newRow("a download") << true;
    QTest::newRow("a text") << false;
}

void TestWebClient::rateLimit()
{
    // 1 KiB at 512 B/s: less than one network read, and below the stall
    // rate; both time limits are far shorter than the two seconds it takes.
    QFETCH(bool, download);
    WebFixture web(400);
    QVERIFY2(web.ok(), qPrintable(web.error()));
    const QByteArray content(1024, 'r');
    web.publish(QStringLiteral("/r.txt"), content);
    web.web().setMaxBytesPerSecond(512);
    QElapsedTimer timer;
    timer.start();
    const QString target = web.path(QStringLiteral("app/r.txt"));
    const TransferResult result = download ? web.web().downloadToFile(web.url(QStringLiteral("/r.txt")), target)
                                           : web.web().fetchText(web.url(QStringLiteral("/r.txt")));
    QCOMPARE(result.code, 0);
    QVERIFY2(timer.elapsed() >= 1900, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(download ? readBytes(target) : result.text.toLatin1(), content);
}

void TestWebClient::downloadResumes_data()
{
    QTest::addColumn<bool>("retried");        // the rest comes in the same call, else at the next
    QTest::addColumn<QByteArray>("changeTo"); // the published file changes meanwhile
    QTest::addColumn<Fault>("second");        // how the server answers after the cut
    QTest::addColumn<bool>("onlyTheRest");
    QTest::addColumn<int>("requests");
    Fault ignoring;
    ignoring.ignoreRange = true;
    Fault ignoringIfRange;
    ignoringIfRange.ignoreIfRange = true;
    Fault compressed;
    compressed.gzip = true;
    QTest::newRow("cut, then the rest in the same call") << true << QByteArray() << Fault() << true << 2;
    QTest::newRow("cut, then the rest at the next call") << false << QByteArray() << Fault() << true << 2;
    QTest::newRow("the file changed meanwhile: fetched whole")
        << false << QByteArray(150'000, 'c') << Fault() << false << 2;
    QTest::newRow("a server that ignores Range: fetched whole") << false << QByteArray() << ignoring << false << 2;
    // The 206 names the new file: its bytes are not glued to the old ones.
    QTest::newRow("changed, If-Range ignored: fetched whole")
        << false << QByteArray(300'000, 'd') << ignoringIfRange << false << 3;
    QTest::newRow("the rest comes compressed: fetched whole") << false << QByteArray() << compressed << false << 3;
}

void TestWebClient::downloadResumes()
{
    QFETCH(bool, retried);
    QFETCH(QByteArray, changeTo);
    QFETCH(Fault, second);
    QFETCH(bool, onlyTheRest);
    QFETCH(int, requests);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    QByteArray content;
    for (int i = 0; i < 300'000; ++i)
        content += char(i % 251);
    const QString path = QStringLiteral("/updates/Vantora.exe");
    web.publish(path, content);
    Fault cut = Fault::droppedAfter(100'000);
    cut.times = 1;
    web.server().setFault(path, cut);
    const QString target = web.path(QStringLiteral("app/Vantora_new.exe"));
    DownloadOptions options;
    options.keepPartial = true;

    if (!retried) {
        TransferOptions once = web.options();
        once.retryPausesMs.clear();
        WebClient client(once);
        QCOMPARE(client.downloadToFile(web.url(path), target, options).code, TransferCode::Truncated);
        QCOMPARE(readBytes(WebClient::partialPath(target)), content.left(100'000));
        QVERIFY(!QFile::exists(target));
        if (!changeTo.isNull()) {
            content = changeTo;
            web.publish(path, content);
        }
        web.server().setFault(path, second);
    }
    QCOMPARE(web.web().downloadToFile(web.url(path), target, options).code, 0);

    QCOMPARE(readBytes(target), content);
    QCOMPARE(QDir(web.appFolder()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("Vantora_new.exe")});
    const QList<QByteArrayList> headers = web.server().requestHeaders();
    QCOMPARE(headers.size(), requests);
    QVERIFY2(headers.at(1).contains("Range: bytes=100000-"), headers.at(1).join(' ').constData());
    if (!second.gzip)
        QCOMPARE(web.server().bodyBytesSent().last(), onlyTheRest ? content.size() - 100'000 : content.size());
}

void TestWebClient::downloadRetries_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("requests");
    Fault twice503 = Fault::answering(503);
    twice503.times = 2;
    Fault dropped = Fault::droppedAfter(10);
    dropped.noValidators = true;
    QTest::newRow("503 twice, then the file") << twice503 << 0 << 3;
    QTest::newRow("500 every time: 3 more tries") << Fault::answering(500) << 500 << 4;
    QTest::newRow("dropped every time: 3 more tries") << dropped << int(TransferCode::Truncated) << 4;
    QTest::newRow("404: not tried again") << Fault::answering(404) << 404 << 1;
    QTest::newRow("a refused redirect: not tried again")
        << Fault::redirect(QStringLiteral("http://127.0.0.1:9/a.bin")) << int(TransferCode::RefusedRedirect) << 1;
}

void TestWebClient::downloadRetries()
{
    QFETCH(Fault, fault);
    QFETCH(int, code);
    QFETCH(int, requests);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/a.bin"), QByteArray(5'000, 'a'));
    web.server().setFault(QStringLiteral("/a.bin"), fault);
    const QString target = web.path(QStringLiteral("app/a.bin"));
    QCOMPARE(web.web().downloadToFile(web.url(QStringLiteral("/a.bin")), target).code, code);
    QCOMPARE(web.server().requests().size(), requests);
    QCOMPARE(QFile::exists(target), code == 0);
}

void TestWebClient::downloadBounded_data()
{
    QTest::addColumn<bool>("announced");
    QTest::newRow("announced larger than the limit") << true;
    QTest::newRow("growing past the limit") << false;
}

void TestWebClient::downloadBounded()
{
    QFETCH(bool, announced);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/big.rpt"), QByteArray(3 * 1024 * 1024, 'b'));
    Fault unannounced;
    unannounced.noLength = !announced;
    web.server().setFault(QStringLiteral("/big.rpt"), unannounced);
    const QString target = web.path(QStringLiteral("app/big.rpt"));
    writeBytes(target, "kept");
    DownloadOptions small;
    small.maxBytes = 1024 * 1024;
    QCOMPARE(web.web().downloadToFile(web.url(QStringLiteral("/big.rpt")), target, small).code, TransferCode::TooLarge);
    QCOMPARE(readBytes(target), QByteArray("kept"));
    QCOMPARE(QDir(web.appFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("big.rpt")});
    QCOMPARE(web.server().requests().size(), 1);
}

void TestWebClient::downloadIntoMissingFolderFails()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/a.txt"), "a");
    QCOMPARE(
        web.web().downloadToFile(web.url(QStringLiteral("/a.txt")), web.path(QStringLiteral("missing/a.txt"))).code,
        TransferCode::LocalFile);
    QCOMPARE(web.web()
                 .downloadToFile(QUrl(QStringLiteral("http://127.0.0.1/a.txt")), web.path(QStringLiteral("a.txt")))
                 .code,
             TransferCode::BadUrl);
}

void TestWebClient::downloadFollowsRedirectWithinHttps()
{
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/new/a.txt"), "moved");
    Fault moved;
    moved.redirectTo = web.url(QStringLiteral("/new/a.txt")).toString();
    web.server().setFault(QStringLiteral("/old/a.txt"), moved);
    const QString target = web.path(QStringLiteral("a.txt"));
    QCOMPARE(web.web().downloadToFile(web.url(QStringLiteral("/old/a.txt")), target).code, 0);
    QCOMPARE(readBytes(target), QByteArray("moved"));
}

void TestWebClient::proxySettings_data()
{
    QTest::addColumn<QString>("noProxy");
    QTest::addColumn<bool>("tunnelled");
    QTest::newRow("https_proxy") << QString() << true;
    QTest::newRow("host listed in no_proxy") << QStringLiteral("updates.test") << false;
}

void TestWebClient::proxySettings()
{
    QFETCH(QString, noProxy);
    QFETCH(bool, tunnelled);
    ConnectProxy proxy;
    QVERIFY(proxy.listenLocal());
    proxy.forcedAddress = QStringLiteral("127.0.0.1");
    qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(proxy.serverPort()));
    qputenv("no_proxy", noProxy.toLatin1());
    const auto restore = qScopeGuard([] {
        qunsetenv("https_proxy");
        qunsetenv("no_proxy");
    });
    WebFixture web(1'000);
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/updates/version.txt"), "1.4.0");
    // A name only the proxy can reach: it tunnels every host to 127.0.0.1.
    QUrl url = web.url(QStringLiteral("/updates/version.txt"));
    url.setHost(QStringLiteral("updates.test"));
    const QString target = web.path(QStringLiteral("version.txt"));
    const int code = web.web().downloadToFile(url, target).code;
    if (tunnelled) {
        QCOMPARE(code, 0);
        QCOMPARE(readBytes(target), QByteArray("1.4.0"));
        QCOMPARE(proxy.tunnels(), QStringList{QStringLiteral("updates.test:%1").arg(url.port())});
    } else {
        QVERIFY(code != 0);
        QVERIFY(proxy.tunnels().isEmpty());
    }
}

void TestWebClient::quittingIsNoAnswer_data()
{
    QTest::addColumn<bool>("download");
    QTest::newRow("FetchText") << false;
    QTest::newRow("DownloadToFile") << true;
}

void TestWebClient::quittingIsNoAnswer()
{
    QFETCH(bool, download);
    WebFixture web;
    QVERIFY2(web.ok(), qPrintable(web.error()));
    web.publish(QStringLiteral("/slow.txt"), QByteArray(4096, 's'));
    Fault trickle;
    trickle.trickleBytes = 16;
    trickle.trickleIntervalMs = 20;
    web.server().setFault(QStringLiteral("/slow.txt"), trickle);
    const QString target = web.path(QStringLiteral("slow.txt"));
    writeBytes(target, "kept");

    // The program is told to quit while the transfer waits: every event
    // loop returns at once.
    QTimer::singleShot(100, qApp, [] { QCoreApplication::exit(0); });
    const QUrl url = web.url(QStringLiteral("/slow.txt"));
    const int code = download ? web.web().downloadToFile(url, target).code : web.web().fetchText(url).code;
    // Let the next test's loops run again.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();

    QCOMPARE(code, TransferCode::Interrupted);
    QCOMPARE(readBytes(target), QByteArray("kept"));
}

QTEST_GUILESS_MAIN(TestWebClient)
#include "tst_webclient.moc"
