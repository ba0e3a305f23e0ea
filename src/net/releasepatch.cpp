#include "net/releasepatch.h"

#include "common/fileops.h"

#include <QFile>

#include <zstd.h>

#include <memory>
#include <vector>

namespace ReleasePatch {

namespace {

constexpr qint64 kChunk = qint64{1} << 20;
constexpr int kMinWindowLog = 10; // zstd's smallest window

struct CContextFree
{
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};
struct DContextFree
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

QString zstdError(size_t code)
{
    return QString::fromUtf8(ZSTD_getErrorName(code));
}

// The whole file, mapped where it can be (an empty file maps to nothing).
struct MappedFile
{
    QFile file;
    const uchar *data = nullptr;
    qint64 size = 0;
    QByteArray copy;

    bool open(const QString &path)
    {
        // A plain file only: a pipe in its place is never waited on.
        if (FileOps::openForReading(file, path) != FileOps::ReadOpen::Opened)
            return false;
        size = file.size();
        if (size == 0)
            return true;
        data = file.map(0, size);
        if (data)
            return true;
        copy = file.readAll();
        data = reinterpret_cast<const uchar *>(copy.constData());
        return copy.size() == size;
    }
};

// Writes `bytes` more of the result to `out` (at outPath), `total` so
// far, within maxBytes; why not, or empty.
QString putOut(QFile &out, const QString &outPath, const char *data, size_t bytes, qint64 &total, qint64 maxBytes,
               const std::function<bool(qint64)> &going)
{
    total += static_cast<qint64>(bytes);
    if (total > maxBytes)
        return QStringLiteral("the patch makes a file longer than %1 bytes").arg(maxBytes);
    if (out.write(data, static_cast<qint64>(bytes)) != static_cast<qint64>(bytes))
        return QStringLiteral("%1 cannot be written").arg(outPath);
    if (going && !going(total))
        return QStringLiteral("the patch was stopped");
    return {};
}

} // namespace

int windowLogFor(qint64 oldSize, qint64 newSize)
{
    // The window reaches back over what was written of the new file and
    // the whole old one.
    int log = kMinWindowLog;
    while (log < 62 && (qint64{1} << log) < oldSize + newSize)
        ++log;
    return log;
}

QString publishedName(const QString &file, const QByteArray &fromSha256)
{
    return QStringLiteral("patches/%1.%2.patch").arg(file, QString::fromLatin1(fromSha256.toHex()));
}

QString make(const QString &oldPath, const QString &newPath, const QString &patchPath, int level, int *windowLog)
{
    MappedFile oldFile;
    MappedFile newFile;
    if (!oldFile.open(oldPath))
        return QStringLiteral("%1 cannot be read").arg(oldPath);
    if (!newFile.open(newPath))
        return QStringLiteral("%1 cannot be read").arg(newPath);
    const int log = windowLogFor(oldFile.size, newFile.size);
    if (log > kMaxWindowLog) {
        return QStringLiteral("the two files are too large for a patch (a window of 2^%1 bytes; desks apply up to "
                              "2^%2)")
            .arg(log)
            .arg(kMaxWindowLog);
    }
    const std::unique_ptr<ZSTD_CCtx, CContextFree> context(ZSTD_createCCtx());
    if (!context)
        return QStringLiteral("out of memory");
    for (const auto &[parameter, value] :
         {std::pair{ZSTD_c_compressionLevel, level}, std::pair{ZSTD_c_windowLog, log},
          std::pair{ZSTD_c_enableLongDistanceMatching, 1}, std::pair{ZSTD_c_checksumFlag, 1}}) {
        const size_t set = ZSTD_CCtx_setParameter(context.get(), parameter, value);
        if (ZSTD_isError(set))
            return zstdError(set);
    }
    const size_t prefix = ZSTD_CCtx_refPrefix(context.get(), oldFile.data, static_cast<size_t>(oldFile.size));
    if (ZSTD_isError(prefix))
        return zstdError(prefix);
    std::vector<char> out(ZSTD_compressBound(static_cast<size_t>(newFile.size)));
    const size_t written
        = ZSTD_compress2(context.get(), out.data(), out.size(), newFile.data, static_cast<size_t>(newFile.size));
    if (ZSTD_isError(written))
        return zstdError(written);
    QFile patch;
    if (!FileOps::openForWriting(patch, patchPath, QIODevice::WriteOnly | QIODevice::Truncate)
        || patch.write(out.data(), static_cast<qint64>(written)) != static_cast<qint64>(written) || !patch.flush())
        return QStringLiteral("%1 cannot be written").arg(patchPath);
    if (windowLog)
        *windowLog = log;
    return {};
}

QString apply(const QString &basePath, const QString &patchPath, const QString &outPath, qint64 maxBytes, int windowLog,
              const std::function<bool(qint64)> &going)
{
    if (windowLog < kMinWindowLog || windowLog > kMaxWindowLog) {
        return QStringLiteral("the patch needs a window of 2^%1 bytes; desks apply up to 2^%2")
            .arg(windowLog)
            .arg(kMaxWindowLog);
    }
    MappedFile base;
    if (!base.open(basePath))
        return QStringLiteral("%1 cannot be read").arg(basePath);
    QFile patch;
    if (FileOps::openForReading(patch, patchPath) != FileOps::ReadOpen::Opened)
        return QStringLiteral("%1 cannot be read").arg(patchPath);
    const std::unique_ptr<ZSTD_DCtx, DContextFree> context(ZSTD_createDCtx());
    if (!context)
        return QStringLiteral("out of memory");
    // The window a frame may ask for is the manifest's, not the frame's
    // own word: a patch cannot make a desk take more memory than that.
    const size_t bounded = ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLog);
    const size_t prefix = ZSTD_DCtx_refPrefix(context.get(), base.data, static_cast<size_t>(base.size));
    if (ZSTD_isError(bounded) || ZSTD_isError(prefix))
        return zstdError(ZSTD_isError(bounded) ? bounded : prefix);

    QFile out;
    if (!FileOps::openForWriting(out, outPath, QIODevice::WriteOnly | QIODevice::Truncate))
        return QStringLiteral("%1 cannot be written").arg(outPath);
    auto fail = [&](const QString &why) {
        out.close();
        QFile::remove(outPath);
        return why;
    };
    std::vector<char> inBuffer(static_cast<size_t>(kChunk));
    std::vector<char> outBuffer(ZSTD_DStreamOutSize());
    qint64 total = 0;
    size_t pending = 1; // what the frame still needs; 0 once it is complete
    for (;;) {
        const qint64 read = patch.read(inBuffer.data(), kChunk);
        if (read < 0)
            return fail(QStringLiteral("%1 cannot be read").arg(patchPath));
        if (read == 0)
            break;
        if (pending == 0)
            return fail(QStringLiteral("the patch has bytes after its end"));
        ZSTD_inBuffer input{inBuffer.data(), static_cast<size_t>(read), 0};
        while (input.pos < input.size) {
            if (pending == 0)
                return fail(QStringLiteral("the patch has bytes after its end"));
            ZSTD_outBuffer output{outBuffer.data(), outBuffer.size(), 0};
            pending = ZSTD_decompressStream(context.get(), &output, &input);
            if (ZSTD_isError(pending))
                return fail(QStringLiteral("the patch cannot be applied: %1").arg(zstdError(pending)));
            if (const QString why = putOut(out, outPath, outBuffer.data(), output.pos, total, maxBytes, going);
                !why.isEmpty())
                return fail(why);
        }
    }
    // The last output may still sit in the context.
    while (pending != 0) {
        ZSTD_inBuffer input{nullptr, 0, 0};
        ZSTD_outBuffer output{outBuffer.data(), outBuffer.size(), 0};
        pending = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(pending))
            return fail(QStringLiteral("the patch cannot be applied: %1").arg(zstdError(pending)));
        if (output.pos == 0)
            break;
        if (const QString why = putOut(out, outPath, outBuffer.data(), output.pos, total, maxBytes, going);
            !why.isEmpty())
            return fail(why);
    }
    if (pending != 0)
        return fail(QStringLiteral("the patch ends before its last block"));
    if (!out.flush())
        return fail(QStringLiteral("%1 cannot be written").arg(outPath));
    out.close();
    return {};
}

} // namespace ReleasePatch
