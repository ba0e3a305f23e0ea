#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The bytes of a download on their way to the target: `<target>.part`,
// moved over the target once the body is complete. Bytes kept for a later
// call have `<target>.part.info` beside them: the address they came from
// and the validator that tells whether the file there is still the same.
class PartialFile
{
public:
    // Where kept bytes were fetched from.
    struct Origin
    {
        QByteArray url;
        QByteArray validator; // empty: the server named none
    };

    explicit PartialFile(const QString &targetPath);
    PartialFile(const PartialFile &) = delete;
    PartialFile &operator=(const PartialFile &) = delete;

    static QString pathFor(const QString &targetPath);
    // What a resumed request is guarded by: a strong ETag, else (with no
    // ETag at all) the Last-Modified date; empty when the server gave
    // neither, or a weak ETag, which never resumes.
    static QByteArray validatorOf(const QByteArray &etag, const QByteArray &lastModified);

    QString path() const { return m_path; }
    // The first of the part and its note that is a link (to anywhere, or
    // nowhere); empty when neither is. A link there is neither followed nor
    // removed: the download is refused.
    QString link() const;
    // Where the bytes an earlier call kept came from; empty when it kept
    // none.
    Origin keptOrigin() const;

    // Opens the part to append to, made when missing; never through a link.
    bool open();
    QFile &file() { return m_file; }
    qint64 size() const { return m_file.size(); }
    // Drops every byte written so far.
    bool clear();
    bool flush() { return m_file.flush(); }
    void close() { m_file.close(); }

    // Keeps the bytes for a later call, which can go on from them if the
    // file at origin.url still has origin.validator. False when there is
    // nothing to keep or no validator to tell by, or the note could not be
    // written.
    bool keep(const Origin &origin);
    // Moves the complete body over the target, replacing it; false when
    // that failed (the part is then gone).
    bool moveOverTarget();
    // Deletes the part and its note.
    void remove();

private:
    QString infoPath() const;

    QString m_target;
    QString m_path;
    QFile m_file; // opened by handle: it has no name
};
