#include "net/releasefetch.h"

#include "common/fileops.h"
#include "net/endpoints.h"
#include "net/localjob.h"
#include "net/releasepatch.h"
#include "net/transfercodes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QList<ReleaseSource> releaseSources(const Endpoints &endpoints, bool listed,
                                    const std::function<void(const QString &line)> &note)
{
    QList<ReleaseSource> sources;
    if (const std::optional<ReleaseSource> mirror = ReleaseSource::mirror(endpoints.mirror())) {
        if (listed) {
            sources << *mirror;
        } else if (note) {
            note(QStringLiteral("%1 is not used: no release.json from the publisher lists the file to check its "
                                "copy against")
                     .arg(mirror->name()));
        }
    }
    sources << ReleaseSource::publisher(endpoints);
    return sources;
}

ReleaseFetch::ReleaseFetch(WebClient &web, QList<ReleaseSource> sources) : m_web(web), m_sources(std::move(sources))
{
}

void ReleaseFetch::say(const QString &line) const
{
    if (note)
        note(line);
}

namespace {

// A failure no other way mends: the program is closing, or the disk is full.
bool final(const TransferResult &result)
{
    return result.code == TransferCode::Interrupted || result.code == TransferCode::DiskFull;
}

// A mirror that could not be asked at all is not asked again this run
// (each attempt could wait out the stall time).
bool unreachable(const TransferResult &result)
{
    return result.code == TransferCode::MirrorUnreadable || result.code == TransferCode::TimedOut
        || result.code == TransferCode::Certificate
        || (result.code > TransferCode::NetworkErrorBase && result.code < TransferCode::TimedOut);
}

} // namespace

QString ReleaseFetch::applied(const QString &basePath, const QString &patchPath, const QString &resultPath,
                              qint64 maxBytes, int windowLog) const
{
    const LocalJob::Work apply = [=](LocalJob &job) {
        job.makes(resultPath);
        const QString why
            = ReleasePatch::apply(basePath, patchPath, resultPath, maxBytes, windowLog, [&job](qint64 written) {
                  job.setDone(written);
                  return !job.abandoned();
              });
        job.fail(why);
        return why.isEmpty() ? TransferCode::Ok : TransferCode::LocalFile;
    };
    return LocalJob::run(apply, QDir::toNativeSeparators(patchPath), m_web.options()).reason;
}

ReleaseFetch::Fetched ReleaseFetch::fetch(const QString &file, const ReleaseFile &entry, const QString &localPath,
                                          const QString &basePath, const DownloadOptions &options)
{
    Fetched fetched;
    bool keptBytesUsed = false;
    if (!basePath.isEmpty() && !entry.patches.isEmpty())
        fetched = viaPatch(file, entry, localPath, basePath, options);
    for (const ReleaseSource &source : QList<ReleaseSource>(m_sources)) {
        if (!fetched.how.isEmpty() || final(fetched.result))
            break;
        if (source.patchesOnly())
            continue;
        DownloadOptions whole = options;
        whole.keepPartial = options.keepPartial && !source.isMirror();
        fetched.result = source.download(m_web, file, localPath, whole);
        if (fetched.result.ok()) {
            fetched.how = QStringLiteral("whole file (%1 bytes) from %2").arg(entry.size).arg(source.name());
            keptBytesUsed = whole.keepPartial;
        } else if (source.isMirror()) {
            say(QStringLiteral("%1 from %2: %3; taking it from the publisher")
                    .arg(file, source.name(), fetched.result.reason));
            forget(source, fetched.result);
        }
    }
    // Bytes kept from an earlier download of the publisher's whole file
    // are of no use once the file came another way.
    if (!fetched.how.isEmpty() && options.keepPartial && !keptBytesUsed) {
        QFile::remove(WebClient::partialPath(localPath));
        QFile::remove(WebClient::partialPath(localPath) + QStringLiteral(".info"));
    }
    return fetched;
}

void ReleaseFetch::forget(const ReleaseSource &source, const TransferResult &result)
{
    if (!source.isMirror() || !unreachable(result))
        return;
    m_sources.removeIf([](const ReleaseSource &each) { return each.isMirror(); });
    say(QStringLiteral("%1 is not asked again this time").arg(source.name()));
}

ReleaseFetch::Fetched ReleaseFetch::viaPatch(const QString &file, const ReleaseFile &entry, const QString &localPath,
                                             const QString &basePath, const DownloadOptions &options)
{
    const QByteArray base = fileSha256(basePath);
    std::optional<ReleasePatchEntry> patch = entry.patchFrom(base);
    if (patch && patch->size > entry.size)
        patch.reset(); // never more than the whole file
    if (!patch) {
        say(QStringLiteral("%1: no patch is published from the build in place (SHA-256 %2...); the whole file is "
                           "downloaded")
                .arg(file, base.isEmpty() ? QStringLiteral("unknown") : QString::fromLatin1(base.toHex().left(16))));
        return {};
    }
    const QString name = ReleasePatch::publishedName(file, patch->from);
    const QString patchPath = localPath + QStringLiteral(".patch");
    const QString resultPath = localPath + QStringLiteral(".patched");
    const ReleaseFile listedPatch{patch->size, patch->sha256, {}};
    DownloadOptions patchOptions;
    patchOptions.maxBytes = patch->size;
    patchOptions.exactBytes = patch->size;
    patchOptions.progress = options.progress;
    patchOptions.check = [&](const QString &path, const QByteArray &) {
        return matchesEntry(path, listedPatch) ? 0 : TransferCode::NotListed;
    };
    Fetched fetched;
    for (const ReleaseSource &source : QList<ReleaseSource>(m_sources)) {
        const TransferResult downloaded = source.download(m_web, name, patchPath, patchOptions);
        if (!downloaded.ok()) {
            say(QStringLiteral("the patch to %1 from %2: %3").arg(file, source.name(), downloaded.reason));
            fetched.result = downloaded;
            forget(source, downloaded);
            if (final(downloaded))
                break;
            continue;
        }
        // The patch is the listed one: whatever fails from here fails with
        // any source.
        QString why = applied(basePath, patchPath, resultPath, entry.size, patch->windowLog);
        if (why.isEmpty() && options.check) {
            if (const int code = options.check(resultPath, QByteArray()); code != 0)
                why = QStringLiteral("the patched file is not the one the release lists (%1)")
                          .arg(TransferCode::describe(code));
        }
        if (why.isEmpty() && !FileOps::replace(resultPath, localPath))
            why = QStringLiteral("the patched file cannot be put in place");
        fetched.result = downloaded;
        if (why.isEmpty()) {
            fetched.how = QStringLiteral("patch (%1 bytes) from %2").arg(patch->size).arg(source.name());
        } else {
            say(QStringLiteral("the patch to %1 from %2 was not applied: %3; the whole file is downloaded")
                    .arg(file, source.name(), why));
        }
        break;
    }
    QFile::remove(patchPath);
    QFile::remove(resultPath);
    return fetched;
}
