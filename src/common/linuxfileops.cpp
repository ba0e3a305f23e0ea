#include "common/fileops.h"

#include <QFile>

#include <cstdio>

namespace FileOps {

bool replace(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace FileOps
