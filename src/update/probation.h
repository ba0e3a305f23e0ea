#pragma once

#include "update/processcontrol.h"

#include <QString>

#include <optional>

// What happens after a new program is started: it is watched for a while,
// and a program that does not start is taken back and, when it surely never
// will, held so that it is not installed again. Pure rules, no files.
namespace Probation {

inline constexpr int kDefaultSeconds = 15;
// Non-zero exits of one build (a database down for one night) before it is
// held.
inline constexpr int kExitsBeforeHold = 3;

enum class Verdict {
    Healthy,   // runs on, or ended with 0 (the silent database run finished)
    Crashed,   // did not start: the start failed, a signal, a crash or loader status
    FailedExit // ended with another non-zero exit code
};

// How the program's end is judged.
Verdict judge(const ProgramEnd &end);

// What is done once the probation ended.
struct Decision
{
    bool takeBack = false; // the old program goes back in place
    bool hold = false;     // this build is not installed again
    int failures = 0;      // failed starts of this build so far
};
// `earlierFailures`: failed starts of the same build before;
// `keepIfStartFails`: the publisher's word that the old program cannot go
// back.
Decision decide(Verdict verdict, int earlierFailures, bool keepIfStartFails);

// Where an updater was when it ended during a probation.
enum class Phase { Watching, TakingBack };
// What the next run does with it: a program running by then is taken as
// good; one that is not was not started well; a take-back is finished.
// `earlierFailures` counts this build's failed starts before.
Decision resume(Phase phase, bool programRuns, int earlierFailures, bool keepIfStartFails);

// "exit code 3", "signal 11 (Segmentation fault)", "status 0xC0000135", or
// why it could not start.
QString describe(const ProgramEnd &end);

} // namespace Probation
