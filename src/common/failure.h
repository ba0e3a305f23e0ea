#pragma once

#include <QString>

// A failure as the tool reports it: a number and a description text. Every
// platform step that can fail throws one; each action catches it in its one
// error trap and turns it into the user's text there.
struct Failure
{
    int number = 0;
    QString description;
};

// Well-known failure numbers of the tool's own steps (network codes live in
// net/transfercodes.h).
namespace FailureCode {
constexpr int FileNotFound = 53; // a file that must be there is not
constexpr int PathAccess = 75;   // a file or folder cannot be opened or created
constexpr int InputPastEnd = 62; // reading past the end of a file
constexpr int WriteFailed = 57;  // writing a file failed
constexpr int OutOfMemory = 7;   // the computer ran out of memory
constexpr int Internal = 51;     // anything else that went wrong inside the tool
} // namespace FailureCode

// The failure a catch (...) block is handling: a Failure as it is, anything
// else (out of memory, a library's exception) as a Failure with its text,
// so that every error trap reports every failure and none ends the program.
// Call it only inside a catch block.
Failure currentFailure();
