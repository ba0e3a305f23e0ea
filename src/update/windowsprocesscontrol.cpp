#include "update/windowsprocesscontrol.h"

#include "win32/win32layer.h"

#include <QDir>
#include <QFileInfo>

namespace {

std::vector<std::wstring> wideArguments(const QStringList &arguments)
{
    std::vector<std::wstring> wide;
    wide.reserve(static_cast<std::size_t>(arguments.size()));
    for (const QString &argument : arguments)
        wide.push_back(argument.toStdWString());
    return wide;
}

// A started process, by its handle.
class HandleProgram final : public WatchedProgram
{
public:
    explicit HandleProgram(void *process) : m_process(process) {}
    ~HandleProgram() override { Win32::closeHandle(m_process); }
    HandleProgram(const HandleProgram &) = delete;
    HandleProgram &operator=(const HandleProgram &) = delete;
    ProgramEnd poll() override
    {
        unsigned long code = 0;
        if (!Win32::processEnded(m_process, 0, code))
            return {};
        return {ProgramEnd::How::Exited, static_cast<qint64>(code), {}};
    }

private:
    void *m_process;
};

// One that did not start.
class NotStarted final : public WatchedProgram
{
public:
    explicit NotStarted(unsigned long error) : m_error(error) {}
    ProgramEnd poll() override
    {
        return {ProgramEnd::How::NotStarted, static_cast<qint64>(m_error),
                QStringLiteral("Windows error %1").arg(m_error)};
    }

private:
    unsigned long m_error;
};

} // namespace

int WindowsProcessControl::stopAll(const QString &executablePath)
{
    return Win32::terminateInstances(QDir::toNativeSeparators(executablePath).toStdWString());
}

bool WindowsProcessControl::startDetached(const QString &program, const QStringList &arguments,
                                          const QString &workingFolder)
{
    return Win32::startHidden(QDir::toNativeSeparators(program).toStdWString(), wideArguments(arguments),
                              QDir::toNativeSeparators(workingFolder).toStdWString());
}

std::unique_ptr<WatchedProgram>
WindowsProcessControl::startWatched(const QString &program, const QStringList &arguments, const QString &workingFolder)
{
    void *process = nullptr;
    unsigned long error = 0;
    if (!Win32::startWatched(QDir::toNativeSeparators(program).toStdWString(), wideArguments(arguments),
                             QDir::toNativeSeparators(workingFolder).toStdWString(), process, error))
        return std::make_unique<NotStarted>(error);
    return std::make_unique<HandleProgram>(process);
}

bool WindowsProcessControl::anyRunning(const QString &executablePath)
{
    return !Win32::processesNamed(QFileInfo(executablePath).fileName().toStdWString()).empty();
}

ProcessControl &ProcessControl::system()
{
    static WindowsProcessControl instance;
    return instance;
}
