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
constexpr int FileNotFound = 53;       // a file that must be there is not
constexpr int PathAccess = 75;         // a file or folder cannot be opened or created
constexpr int InputPastEnd = 62;       // reading past the end of a file
constexpr int WriteFailed = 57;        // writing a file failed
} // namespace FailureCode
