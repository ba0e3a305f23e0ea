#pragma once

// The Win32 calls the tool needs, in plain C++ over the wide-character API
// (folders with blanks and non-ASCII names included), without Qt, so that
// the layer is built and tested on its own under Windows or Wine.

#include <cstddef>
#include <string>
#include <vector>

namespace Win32 {

// Terminates every instance of the program at `executablePath` in this
// user's session: each process whose image name is the path's file name
// and whose image lies in the path's folder (both without regard to case,
// as the file system compares names; an image renamed within the folder
// still counts), in snapshot order, each at once, without waiting for it
// or checking that it ended. Instances of another folder, processes of
// other sessions and processes this user may not open are passed over.
// Returns how many were told to end.
int terminateInstances(const std::wstring &executablePath);

// The process ids whose image name equals `imageName` without regard to
// case, in snapshot order.
std::vector<unsigned long> processesNamed(const std::wstring &imageName);

// Starts `program` with `arguments`, its window hidden, in
// `workingFolder`, and does not wait for it. False when it did not start.
bool startHidden(const std::wstring &program, const std::vector<std::wstring> &arguments,
                 const std::wstring &workingFolder);

// Starts `program` as startHidden() does and keeps its process handle in
// `process` (closed with closeHandle()). The program starts with the error
// mode SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX, so a missing DLL or a
// crash ends it at once with its status instead of a box that keeps it
// alive. False, with GetLastError() in `error`, when it did not start.
bool startWatched(const std::wstring &program, const std::vector<std::wstring> &arguments,
                  const std::wstring &workingFolder, void *&process, unsigned long &error);

// Waits up to `milliseconds` for the process; true when it has ended, with
// its exit code (an NTSTATUS such as 0xC0000135 after a crash or a loader
// failure).
bool processEnded(void *process, unsigned long milliseconds, unsigned long &exitCode);

// The command line whose arguments, split by the rules of the C runtime and
// CommandLineToArgvW, are exactly `program` and `arguments` again (blanks,
// quotes and backslashes quoted as those rules need).
std::wstring commandLine(const std::wstring &program, const std::vector<std::wstring> &arguments);

// Moves a file within its volume in one step, replacing a file already at
// `to` (a running executable may be the one moved). False when nothing
// moved.
bool moveReplacing(const std::wstring &from, const std::wstring &to);

// Appends the bytes to the file (made when missing) in one write at its
// end, taking turns with every other writer through a lock on the file;
// the file may meanwhile be renamed by another process. A reparse point at
// the path is not written through. False when not all were written.
bool appendBytes(const std::wstring &path, const char *bytes, std::size_t size);

// For a window program started from a console: when standard output and
// error lead nowhere, they are joined to the console of the parent process
// (cmd.exe, PowerShell), so the unattended mode's lines are seen there.
// Output redirected to a file or a pipe is left as it is.
void useParentConsole();

// An exclusive lock on the file at `path` (made when missing), held until
// `handle` is closed, which Windows does when the process ends. The handle
// is not inheritable; a reparse point (a symbolic link, a junction) at the
// path is not followed but reported.
enum class LockResult { Held, Busy, Link, Failed };
LockResult lockFile(const std::wstring &path, void *&handle);
void closeHandle(void *handle);

// Opens the file at `path` for reading and writing (made when missing),
// emptied when `truncate`, with a handle that is not inheritable. A reparse
// point at the path is neither followed nor changed but reported.
enum class OpenResult { Opened, Link, Failed };
OpenResult openFile(const std::wstring &path, bool truncate, void *&handle);

// Opens the file at `path` for reading, sharing it with every other
// reader and writer, with a handle that is not inheritable; taken only
// when it is a disk file (GetFileType): a pipe, a console or another
// device is closed again and reported, as is a folder.
enum class ReadResult { Opened, Missing, NotDisk, Failed };
ReadResult openForReading(const std::wstring &path, void *&handle);

// True when a reparse point (a symbolic link, a junction) is at the path
// itself.
bool isReparsePoint(const std::wstring &path);

} // namespace Win32
