#include "common/updatelog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {
// The writer program: beside this one when it was laid out with it (a
// Windows build with its DLLs), else where the build made it.
QString logWriter()
{
    const QString beside = QCoreApplication::applicationDirPath() + u"/logwriter"_s;
    for (const QString &candidate : {beside + u".exe"_s, beside}) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return QString::fromUtf8(LOG_WRITER);
}

QStringList lines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}
} // namespace

class TestUpdateLog : public QObject
{
    Q_OBJECT
private slots:
    void lineForm();
    void rotatesAtItsSize();
    void followsARotationByAnotherProcess();
    void twoProcessesLoseNoLine();
};

void TestUpdateLog::lineForm()
{
    QTemporaryDir dir;
    UpdateLog log(dir.filePath(u"updater.log"_s));
    log.addSecret(u"tr5kelvo"_s);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(log.write(u"box"_s, u"Login failed for sa with tr5kelvo\r\nsecond line"_s));
    QVERIFY(log.write(u"box"_s, u"again"_s));
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    const QStringList written = lines(log.path());
    QCOMPARE(written.size(), 2);
    QVERIFY2(written.first().endsWith(u"box: Login failed for sa with ******** | second line"_s),
             qPrintable(written.first()));
    // Each line's stamp is the local time of its writing, with the offset.
    for (const QString &line : written) {
        const QString stamp = line.section(u' ', 0, 0);
        const QDateTime when = QDateTime::fromString(stamp, Qt::ISODateWithMs);
        QVERIFY2(when.isValid() && when.toMSecsSinceEpoch() >= before && when.toMSecsSinceEpoch() <= after,
                 qPrintable(line));
        QCOMPARE(stamp, UpdateLog::timeStamp(QDateTime::fromMSecsSinceEpoch(when.toMSecsSinceEpoch())));
    }
    // The offset is written out, also for UTC.
    const QDateTime utc(QDate(2026, 12, 8), QTime(9, 5, 7, 12), Qt::UTC);
    QCOMPARE(UpdateLog::timeStamp(utc), u"2026-12-08T09:05:07.012+00:00"_s);
    QCOMPARE(UpdateLog::timeStamp(utc.toOffsetFromUtc(-5 * 3600 - 1800)), u"2026-12-08T03:35:07.012-05:30"_s);
}

void TestUpdateLog::rotatesAtItsSize()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"updater.log"_s);
    UpdateLog log(path); // the real limit, 1 MiB
    const QString text(200, u'x');
    int written = 0;
    while (!QFile::exists(path + u".1"_s) && written < 10'000) {
        QVERIFY(log.write(u"line"_s, QString::number(written) + text));
        ++written;
    }
    QVERIFY(QFile::exists(path + u".1"_s));
    const QStringList older = lines(path + u".1"_s);
    const QStringList newer = lines(path);
    QCOMPARE(older.size() + newer.size(), written); // nothing lost in the step
    QVERIFY(QFileInfo(path + u".1"_s).size() >= UpdateLog::kRotateBytes);
    QVERIFY(QFileInfo(path + u".1"_s).size() < UpdateLog::kRotateBytes + 1024);
    QCOMPARE(newer.size(), 1);
    // Only one older file is kept.
    for (int i = 0; i < 6000; ++i)
        log.write(u"line"_s, text);
    QVERIFY(!QFile::exists(path + u".2"_s));
    QVERIFY(QFileInfo(path).size() < UpdateLog::kRotateBytes);
}

void TestUpdateLog::followsARotationByAnotherProcess()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"updater.log"_s);
    UpdateLog log(path);
    QVERIFY(log.write(u"line"_s, u"before"_s));
    QVERIFY(QFile::rename(path, path + u".1"_s)); // as another process rotates it
    QThread::msleep(1100);                        // the log looks at its path once a second
    QVERIFY(log.write(u"line"_s, u"after"_s));
    QCOMPARE(lines(path + u".1"_s).size(), 1);
    const QStringList newer = lines(path);
    QCOMPARE(newer.size(), 1);
    QVERIFY(newer.first().endsWith(u"line: after"_s));
}

void TestUpdateLog::twoProcessesLoseNoLine()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"updater.log"_s);
    QProcess first;
    QProcess second;
    first.start(logWriter(), {path, u"2000"_s, u"first"_s});
    second.start(logWriter(), {path, u"2000"_s, u"second"_s});
    QVERIFY(first.waitForFinished(60'000) && second.waitForFinished(60'000));
    QCOMPARE(first.exitCode() + second.exitCode(), 0);
    const QStringList written = lines(path);
    QCOMPARE(written.size(), 4000);
    for (const QString &tag : {u"first"_s, u"second"_s}) {
        int next = 1;
        for (const QString &line : written) {
            if (line.contains(u"test: "_s + tag + u' ')) {
                QCOMPARE(line.section(u' ', -1).toInt(), next); // whole, in order
                ++next;
            }
        }
        QCOMPARE(next, 2001);
    }
}

QTEST_GUILESS_MAIN(TestUpdateLog)
#include "tst_updatelog.moc"
