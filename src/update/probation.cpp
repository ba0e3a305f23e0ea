#include "update/probation.h"

#include <cstring>

namespace Probation {

namespace {
// Windows: NTSTATUS codes from here up are errors (an access violation, a
// DLL not found, a bad image).
constexpr qint64 kErrorStatus = 0xC0000000;
} // namespace

Verdict judge(const ProgramEnd &end)
{
    switch (end.how) {
    case ProgramEnd::How::Running: return Verdict::Healthy;
    case ProgramEnd::How::Signal:
    case ProgramEnd::How::NotStarted: return Verdict::Crashed;
    case ProgramEnd::How::Exited: break;
    }
    if (end.code == 0)
        return Verdict::Healthy;
    return (end.code & 0xFFFFFFFF) >= kErrorStatus ? Verdict::Crashed : Verdict::FailedExit;
}

Decision decide(Verdict verdict, int earlierFailures, bool keepIfStartFails)
{
    Decision decision;
    if (verdict == Verdict::Healthy)
        return decision;
    decision.failures = earlierFailures + 1;
    decision.takeBack = !keepIfStartFails;
    // A kept program is installed: nothing to hold.
    decision.hold = decision.takeBack && (verdict == Verdict::Crashed || decision.failures >= kExitsBeforeHold);
    return decision;
}

Decision resume(Phase phase, bool programRuns, int earlierFailures, bool keepIfStartFails)
{
    if (phase == Phase::TakingBack) {
        // The decision was made and recorded before the take-back began.
        Decision decision;
        decision.takeBack = true;
        decision.failures = earlierFailures;
        decision.hold = earlierFailures >= kExitsBeforeHold;
        return decision;
    }
    return decide(programRuns ? Verdict::Healthy : Verdict::FailedExit, earlierFailures, keepIfStartFails);
}

QString describe(const ProgramEnd &end)
{
    switch (end.how) {
    case ProgramEnd::How::Running: return QStringLiteral("it runs");
    case ProgramEnd::How::NotStarted: return QStringLiteral("it could not be started: ") + end.reason;
    case ProgramEnd::How::Signal:
#ifdef _WIN32
        return QStringLiteral("signal %1").arg(end.code);
#else
        return QStringLiteral("signal %1 (%2)").arg(end.code).arg(QString::fromLocal8Bit(strsignal(int(end.code))));
#endif
    case ProgramEnd::How::Exited: break;
    }
    if ((end.code & 0xFFFFFFFF) >= kErrorStatus)
        return QStringLiteral("status 0x%1").arg(QString::number(end.code & 0xFFFFFFFF, 16).toUpper());
    return QStringLiteral("exit code %1").arg(end.code);
}

} // namespace Probation
