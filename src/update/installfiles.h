#pragma once

#include <QString>

// The file steps of the executable swap that can fail on a live
// installation (a running or just stopped executable, a scanner holding a
// fresh file, a folder that refuses the change). The plain implementation
// does them; tests override it to make them fail.
class InstallFiles
{
public:
    virtual ~InstallFiles() = default;
    // Moves a file within its folder in one step, replacing a file already
    // at `to`; false when nothing moved.
    virtual bool move(const QString &from, const QString &to);
    // Deletes one of the tool's own files; false when it is still there.
    virtual bool remove(const QString &path);

    static InstallFiles &plain();
};
