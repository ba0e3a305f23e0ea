#include "net/releasemanifest.h"

#include "common/fileops.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <cmath>

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ssZ");

// A whole number from 0 to `ceiling` (JSON has only doubles), or -1.
qint64 wholeNumber(const QJsonValue &value, qint64 ceiling)
{
    if (!value.isDouble())
        return -1;
    const double number = value.toDouble();
    if (!(number >= 0) || number > double(ceiling) || std::floor(number) != number)
        return -1;
    return static_cast<qint64>(number);
}

QString timeText(const QDateTime &time)
{
    const QDateTime utc = time.toUTC();
    return utc.time().msec() != 0 ? utc.toString(Qt::ISODateWithMs) : utc.toString(kTimeFormat);
}

QDateTime utcTime(const QJsonValue &value)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    return time.isValid() && time.timeSpec() == Qt::UTC ? time : QDateTime();
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

// The 32 bytes of a SHA-256 in 64 hex digits, or nothing.
QByteArray sha256Hex(const QJsonValue &value)
{
    const QString hex = value.toString();
    const bool hexOnly = std::all_of(hex.begin(), hex.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    });
    return hex.size() == 64 && hexOnly ? QByteArray::fromHex(hex.toLatin1()) : QByteArray();
}

bool readFile(const QString &name, const QJsonValue &value, ReleaseFile &entry, QString *error)
{
    const QJsonObject object = value.toObject();
    entry.size = wholeNumber(object.value(QLatin1String("size")), kMaxSerial);
    entry.sha256 = sha256Hex(object.value(QLatin1String("sha256")));
    if (!value.isObject() || entry.size < 0)
        return fail(error, QStringLiteral("\"files\": \"%1\" has no whole \"size\"").arg(name));
    if (entry.sha256.isEmpty())
        return fail(error, QStringLiteral("\"files\": \"%1\" has no \"sha256\" of 64 hex digits").arg(name));
    // A patch that cannot be read only costs the whole download.
    const QJsonArray patches = object.value(QLatin1String("patches")).toArray();
    for (const auto &item : patches) {
        const QJsonObject patch = item.toObject();
        ReleasePatchEntry read{sha256Hex(patch.value(QLatin1String("from"))),
                               wholeNumber(patch.value(QLatin1String("size")), kMaxSerial),
                               sha256Hex(patch.value(QLatin1String("sha256"))),
                               int(wholeNumber(patch.value(QLatin1String("window")), 62))};
        if (!read.from.isEmpty() && read.size > 0 && !read.sha256.isEmpty() && read.windowLog > 0)
            entry.patches << read;
    }
    return true;
}

} // namespace

std::optional<ReleaseManifest> ReleaseManifest::parse(QByteArrayView json, QString *error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray(), &parseError);
    if (!document.isObject()) {
        fail(error,
             parseError.error != QJsonParseError::NoError
                 ? QStringLiteral("not JSON: %1 at byte %2").arg(parseError.errorString()).arg(parseError.offset)
                 : QStringLiteral("not a JSON object"));
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    ReleaseManifest manifest;
    manifest.serial = wholeNumber(root.value(QLatin1String("serial")), kMaxSerial);
    manifest.version = root.value(QLatin1String("version")).toString();
    manifest.signedAt = utcTime(root.value(QLatin1String("signed")));
    manifest.expires = utcTime(root.value(QLatin1String("expires")));
    const bool control = std::any_of(manifest.version.begin(), manifest.version.end(),
                                     [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
    QString problem;
    if (manifest.serial <= 0)
        problem = QStringLiteral("no whole \"serial\" from 1 to 2^53");
    else if (manifest.version.trimmed().isEmpty() || control)
        problem = QStringLiteral("no \"version\" on one line");
    else if (!manifest.signedAt.isValid() || !manifest.expires.isValid())
        problem = QStringLiteral("\"signed\" and \"expires\" must be UTC times (%1)").arg(kTimeFormat);
    else if (manifest.expires <= manifest.signedAt)
        problem = QStringLiteral("\"expires\" is not after \"signed\"");
    else if (!root.value(QLatin1String("files")).isObject())
        problem = QStringLiteral("no \"files\" object");
    if (!problem.isEmpty()) {
        fail(error, problem);
        return std::nullopt;
    }
    const QJsonObject files = root.value(QLatin1String("files")).toObject();
    for (auto it = files.begin(); it != files.end(); ++it) {
        ReleaseFile entry;
        if (!readFile(it.key(), it.value(), entry, error))
            return std::nullopt;
        manifest.files.insert(it.key(), entry);
    }
    const QJsonValue rollout = root.value(QLatin1String("rollout"));
    if (!rollout.isUndefined()) {
        const QJsonObject object = rollout.toObject();
        const QJsonValue percent = object.value(QLatin1String("percent"));
        const QJsonValue halt = object.value(QLatin1String("halt"));
        manifest.rolloutPercent = percent.isUndefined() ? 100 : int(wholeNumber(percent, 100));
        manifest.halted = halt.toBool(false);
        if (!rollout.isObject() || manifest.rolloutPercent < 0 || !(halt.isUndefined() || halt.isBool())) {
            fail(error, QStringLiteral("\"rollout\" needs a \"percent\" from 0 to 100 and a true or false \"halt\""));
            return std::nullopt;
        }
    }
    const QJsonValue probation = root.value(QLatin1String("probation_seconds"));
    const QJsonValue keep = root.value(QLatin1String("keep_if_start_fails"));
    manifest.probationSeconds = probation.isUndefined() ? -1 : int(wholeNumber(probation, 3600));
    manifest.keepIfStartFails = keep.toBool(false);
    if ((!probation.isUndefined() && manifest.probationSeconds < 0) || !(keep.isUndefined() || keep.isBool())) {
        fail(error,
             QStringLiteral("\"probation_seconds\" needs a whole number from 0 to 3600 and "
                            "\"keep_if_start_fails\" true or false"));
        return std::nullopt;
    }
    const QJsonValue downgrade = root.value(QLatin1String("downgrade"));
    if (!downgrade.isUndefined() && !downgrade.isBool()) {
        fail(error, QStringLiteral("\"downgrade\" must be true or false"));
        return std::nullopt;
    }
    manifest.downgrade = downgrade.toBool(false);
    return manifest;
}

QByteArray ReleaseManifest::toJson() const
{
    QJsonObject fileObjects;
    for (auto it = files.begin(); it != files.end(); ++it) {
        QJsonObject file{{QStringLiteral("size"), double(it->size)},
                         {QStringLiteral("sha256"), QString::fromLatin1(it->sha256.toHex())}};
        QJsonArray patches;
        for (const ReleasePatchEntry &patch : it->patches) {
            patches.append(QJsonObject{{QStringLiteral("from"), QString::fromLatin1(patch.from.toHex())},
                                       {QStringLiteral("size"), double(patch.size)},
                                       {QStringLiteral("sha256"), QString::fromLatin1(patch.sha256.toHex())},
                                       {QStringLiteral("window"), patch.windowLog}});
        }
        if (!patches.isEmpty())
            file.insert(QStringLiteral("patches"), patches);
        fileObjects.insert(it.key(), file);
    }
    QJsonObject root{
        {QStringLiteral("serial"), double(serial)},
        {QStringLiteral("version"), version},
        {QStringLiteral("signed"), timeText(signedAt)},
        {QStringLiteral("expires"), timeText(expires)},
        {QStringLiteral("files"), fileObjects},
        {QStringLiteral("rollout"),
         QJsonObject{{QStringLiteral("percent"), rolloutPercent}, {QStringLiteral("halt"), halted}}},
    };
    if (probationSeconds >= 0)
        root.insert(QStringLiteral("probation_seconds"), probationSeconds);
    if (keepIfStartFails)
        root.insert(QStringLiteral("keep_if_start_fails"), true);
    // Written only where it is said, so a manifest of a release that goes
    // forward reads as before.
    if (downgrade)
        root.insert(QStringLiteral("downgrade"), true);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<ReleaseFile> ReleaseManifest::file(const QString &name) const
{
    const auto it = files.constFind(name);
    return it == files.constEnd() ? std::nullopt : std::optional<ReleaseFile>(*it);
}

std::optional<ReleasePatchEntry> ReleaseFile::patchFrom(const QByteArray &digest) const
{
    for (const ReleasePatchEntry &patch : patches) {
        if (!digest.isEmpty() && patch.from == digest)
            return patch;
    }
    return std::nullopt;
}

int rolloutBucket(const QByteArray &identity, const QString &version)
{
    const QByteArray digest = QCryptographicHash::hash(identity + '\n' + version.toUtf8(), QCryptographicHash::Sha256);
    return int(qFromBigEndian<quint64>(digest.constData()) % 100U);
}

QByteArray fileSha256(const QString &path)
{
    QFile file;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (FileOps::openForReading(file, path) != FileOps::ReadOpen::Opened || !hash.addData(&file))
        return {};
    return hash.result();
}

bool matchesEntry(const QString &path, const ReleaseFile &entry, QString *why)
{
    const qint64 size = QFile(path).size();
    if (size != entry.size) {
        return fail(why, QStringLiteral("%1 bytes where the release lists %2").arg(size).arg(entry.size));
    }
    if (fileSha256(path) != entry.sha256)
        return fail(why, QStringLiteral("its SHA-256 is not the one the release lists"));
    return true;
}
