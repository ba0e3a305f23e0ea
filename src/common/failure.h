#pragma once

#include "common/outcome.h"

#include <QString>

#include <optional>
#include <utility>

// A failure as the tool reports it: a number and a description text. Every
// platform step that can fail throws one; each action catches it in its one
// error trap and turns it into the user's text there.
struct Failure
{
    int number = 0;
    QString description;
    // How the action that meets it ends, when it ends there: the step
    // that fails knows (a transfer, the database connection), the trap
    // that reports it does not.
    OutcomeKind kind = OutcomeKind::Failed;

    Outcome outcome() const { return Outcome::of(kind, number, description); }
};

// Well-known failure numbers of the tool's own steps (network codes live in
// net/transfercodes.h).
namespace FailureCode {
constexpr int FileNotFound = 53;  // a file that must be there is not
constexpr int PathAccess = 75;    // a file or folder cannot be opened or created
constexpr int InputPastEnd = 62;  // reading past the end of a file
constexpr int WriteFailed = 57;   // writing a file failed
constexpr int OutOfMemory = 7;    // the computer ran out of memory
constexpr int Internal = 51;      // anything else that went wrong inside the tool
constexpr int InvalidText = 3100; // a file's bytes are not valid in the encoding its mark names
} // namespace FailureCode

// The failure a catch (...) block is handling: a Failure as it is, anything
// else (out of memory, a library's exception) as a Failure with its text,
// so that every error trap reports every failure and none ends the program.
// Call it only inside a catch block.
Failure currentFailure();

// The one error trap: runs `step` and hands back what it threw, turned into
// a Failure (currentFailure()), or nothing when it ran to its end. Every
// action and routine traps its steps through it, so no failure ends the
// program and each trap words only its own message.
template <typename Step>
std::optional<Failure> attempt(Step &&step) noexcept
{
    try {
        std::forward<Step>(step)();
    } catch (...) {
        return currentFailure();
    }
    return std::nullopt;
}
