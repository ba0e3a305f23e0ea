#include "update/processcontrol.h"

namespace {

// A program started without a way to watch it: taken to run on.
class UnwatchedProgram final : public WatchedProgram
{
public:
    explicit UnwatchedProgram(bool started) : m_started(started) {}
    ProgramEnd poll() override
    {
        if (m_started)
            return {};
        return {ProgramEnd::How::NotStarted, 0, QStringLiteral("it could not be started")};
    }
    bool watched() const override { return false; }

private:
    bool m_started;
};

} // namespace

std::unique_ptr<WatchedProgram> ProcessControl::startWatched(const QString &program, const QStringList &arguments,
                                                             const QString &workingFolder)
{
    return std::make_unique<UnwatchedProgram>(startDetached(program, arguments, workingFolder));
}
