#pragma once

#include <QString>

// The two file steps of the executable swap that can fail on a live
// installation (a locked executable, a folder that refuses the rename).
// The plain implementation does them; tests override it to make them fail.
class InstallFiles
{
public:
    virtual ~InstallFiles() = default;
    // Deletes the file; false when it is still there.
    virtual bool remove(const QString &path);
    // Renames within one folder; false when nothing was renamed.
    virtual bool rename(const QString &from, const QString &to);

    static InstallFiles &plain();
};
