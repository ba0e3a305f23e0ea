#pragma once

#include <QByteArray>
#include <QString>

#include <utility>

// File steps that must happen in one piece. Each platform has its own
// implementation beside this file.
namespace FileOps {

// Moves the file `from` to `to` within one volume, in one step, replacing
// a file already at `to`. False when nothing was moved.
bool replace(const QString &from, const QString &to);

// Appends the bytes at the end of the file (made when missing) in one
// write that no other writer can split or overwrite, even one in another
// process at the same moment. False when they were not all written.
bool append(const QString &path, const QByteArray &bytes);

// A file that many pieces are appended to, each by append()'s rule. On
// Linux it stays open between appends, which saves opening it for every
// one; on Windows each append opens, locks and closes it. An open file that
// was moved aside or deleted is written on until followPath() or release();
// the next append then opens whatever the path names.
class AppendFile
{
public:
    explicit AppendFile(QString path);
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    bool append(const QByteArray &bytes);
    // Releases the open file when the path no longer names it.
    void followPath();
    void release();

private:
    QString m_path;
    int m_fd = -1;
};

} // namespace FileOps
