#include "update/windowsprocesscontrol.h"

#include "win32/win32layer.h"

#include <QDir>

int WindowsProcessControl::stopAll(const QString &executablePath)
{
    return Win32::terminateInstances(QDir::toNativeSeparators(executablePath).toStdWString());
}

bool WindowsProcessControl::startDetached(const QString &program, const QStringList &arguments,
                                          const QString &workingFolder)
{
    std::vector<std::wstring> wide;
    wide.reserve(static_cast<std::size_t>(arguments.size()));
    for (const QString &argument : arguments)
        wide.push_back(argument.toStdWString());
    return Win32::startHidden(QDir::toNativeSeparators(program).toStdWString(), wide,
                              QDir::toNativeSeparators(workingFolder).toStdWString());
}

ProcessControl &ProcessControl::system()
{
    static WindowsProcessControl instance;
    return instance;
}
