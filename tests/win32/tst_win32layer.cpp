// The Win32 layer against real processes and files, under Windows or Wine:
// stand-ins found by image name without regard to case and stopped, a
// process of another name left alone, the hidden start from a folder with
// blanks and non-ASCII letters, and the rules the swap relies on (a running
// executable cannot be deleted, but can be moved aside and replaced).
//
//   tst_win32layer STANDIN.exe [NEEDSABSENT.exe]
//
// The watch of a started program uses the test itself as the program that
// exits 1 (--exit1) or crashes (--crash), and NEEDSABSENT.exe (default:
// beside the test) as one whose DLL is missing.
// Prints "ok - ..." or "not ok - ..." for each check; exits 1 when one
// failed.
#include "win32/win32layer.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool passed, const char *what)
{
    std::printf("%s - %s\n", passed ? "ok" : "not ok", what);
    std::fflush(stdout);
    if (!passed)
        ++failures;
}

std::string readFile(const std::wstring &path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int countLines(const std::wstring &path)
{
    const std::string text = readFile(path);
    int lines = 0;
    for (const char c : text)
        lines += c == '\n';
    return lines;
}

template <typename Done>
bool waitFor(Done done, int ms = 10'000)
{
    for (int waited = 0; waited < ms; waited += 50) {
        if (done())
            return true;
        Sleep(50);
    }
    return done();
}

// The arguments CommandLineToArgvW reads from a command line.
std::vector<std::wstring> split(const std::wstring &line)
{
    int count = 0;
    wchar_t **parts = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> result(parts, parts + count);
    LocalFree(parts);
    return result;
}

} // namespace

// Starts `program` watched and waits up to 10 s for its end; its exit code,
// or -1 when it did not start or end.
long long watchedExit(const std::wstring &program, const std::vector<std::wstring> &arguments,
                      const std::wstring &folder)
{
    void *process = nullptr;
    unsigned long error = 0;
    if (!Win32::startWatched(program, arguments, folder, process, error))
        return -1;
    unsigned long code = 0;
    const bool ended = Win32::processEnded(process, 10'000, code);
    Win32::closeHandle(process);
    return ended ? static_cast<long long>(code) : -1;
}

// The started program's ends, as the probation after an update reads them.
void checkWatch(const std::wstring &self, const std::wstring &needsAbsent, const std::wstring &folder)
{
    check(watchedExit(self, {L"--exit1"}, folder) == 1, "a watched program that exits 1 is read as exit code 1");
    check(watchedExit(self, {L"--crash"}, folder) == 0xC0000005LL,
          "a watched program that crashes ends at once with 0xC0000005 (no fault box)");
    const std::wstring lonely = folder + L"\\needsabsent.exe";
    check(CopyFileW(needsAbsent.c_str(), lonely.c_str(), FALSE) != 0, "a program copied without the DLL it imports");
    // Started in its own folder: the DLL is found neither there nor in the
    // working folder.
    check(watchedExit(lonely, {}, folder) == 0xC0000135LL,
          "it ends at once with 0xC0000135 (DLL not found, no loader box)");
    DeleteFileW(lonely.c_str());
    void *process = nullptr;
    unsigned long error = 0;
    check(!Win32::startWatched(folder + L"\\nothing.exe", {}, L"", process, error) && error != 0,
          "a program that is not there does not start, with the reason");
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && std::wstring(argv[1]) == L"--exit1")
        return 1;
    if (argc >= 2 && std::wstring(argv[1]) == L"--crash") {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: tst_win32layer STANDIN.exe\n");
        return 2;
    }
    const std::wstring standin = argv[1];

    // Arguments read back as they were given.
    const std::vector<std::wstring> tricky{L"/silentdbupdate",     L"two words", L"say \"hi\"", L"ends\\",
                                           L"C:\\Program Files\\", L"",          L"École"};
    std::vector<std::wstring> expected{L"C:\\Program Files\\Vantora\\Vantora.exe"};
    expected.insert(expected.end(), tricky.begin(), tricky.end());
    check(split(Win32::commandLine(expected.front(), tricky)) == expected,
          "a command line reads back as its arguments");

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"Desk École Ünïcode " + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring exe = folder + L"\\Vantora.exe";
    const std::wstring other = folder + L"\\Other.exe";
    check(CopyFileW(standin.c_str(), exe.c_str(), FALSE) && CopyFileW(standin.c_str(), other.c_str(), FALSE),
          "stand-ins laid out in a folder with blanks and non-ASCII letters");

    // Two instances and another program.
    check(Win32::startHidden(exe, {L"one"}, folder) && Win32::startHidden(exe, {L"two"}, folder)
              && Win32::startHidden(other, {L"other"}, folder),
          "two stand-ins and another program started hidden");
    check(waitFor([&] { return countLines(exe + L".log") == 2 && countLines(other + L".log") == 1; }),
          "all three logged their start");
    check(Win32::processesNamed(L"vantora.EXE").size() == 2, "both found by image name without regard to case");

    // The swap's rules while the executable runs.
    check(!DeleteFileW(exe.c_str()) && GetLastError() == ERROR_ACCESS_DENIED,
          "a running executable cannot be deleted (access denied)");
    check(Win32::moveReplacing(exe, folder + L"\\Vantora_old.exe"), "a running executable can be moved aside");
    const std::wstring fresh = folder + L"\\Vantora_new.exe";
    CopyFileW(standin.c_str(), fresh.c_str(), FALSE);
    check(Win32::moveReplacing(fresh, exe), "the new one moves into its place");

    // The folder's lock: one holder at a time, let go with its handle.
    const std::wstring lockPath = folder + L"\\updater.lock";
    void *held = nullptr;
    void *second = nullptr;
    check(Win32::lockFile(lockPath, held) == Win32::LockResult::Held, "the lock is taken");
    check(Win32::lockFile(lockPath, second) == Win32::LockResult::Busy, "a second holder finds it busy");
    Win32::closeHandle(held);
    check(Win32::lockFile(lockPath, second) == Win32::LockResult::Held, "and takes it once it is let go");
    Win32::closeHandle(second);
    DeleteFileW(lockPath.c_str());

    // A file opened for writing (a download's part and its note): emptied
    // only when asked; a plain file is no reparse point.
    const std::wstring note = folder + L"\\note.txt";
    std::ofstream(note.c_str(), std::ios::binary) << "kept";
    void *opened = nullptr;
    check(Win32::openFile(note, false, opened) == Win32::OpenResult::Opened, "a file opened for writing");
    Win32::closeHandle(opened);
    check(readFile(note) == "kept" && !Win32::isReparsePoint(note), "kept as it was, and no reparse point");
    check(Win32::openFile(note, true, opened) == Win32::OpenResult::Opened, "opened again to be emptied");
    Win32::closeHandle(opened);
    check(readFile(note).empty(), "emptied");
    DeleteFileW(note.c_str());

    // Another installation's Vantora.exe is no instance of this one.
    const std::wstring elsewhere = folder + L" elsewhere";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    const std::wstring theirs = elsewhere + L"\\Vantora.exe";
    check(CopyFileW(standin.c_str(), theirs.c_str(), FALSE) && Win32::startHidden(theirs, {L"theirs"}, elsewhere)
              && waitFor([&] { return countLines(theirs + L".log") == 1; }),
          "a Vantora.exe of another folder started");

    // Stop: this folder's Vantora.exe (moved aside while it ran), the other
    // program and the other folder's untouched.
    check(Win32::terminateInstances(exe) == 2, "both stand-ins of this folder told to stop");
    check(waitFor([] { return Win32::processesNamed(L"Vantora.exe").size() == 1; }), "both have ended");
    check(Win32::processesNamed(L"Other.exe").size() == 1, "the program of another name still runs");
    check(Win32::terminateInstances(theirs) == 1, "the other folder's stopped only when named");

    // The relaunch: hidden, from its folder, with the switch.
    check(Win32::startHidden(exe, {L"/silentdbupdate"}, folder), "the new executable started hidden");
    check(waitFor([&] { return readFile(exe + L".log").find(" /silentdbupdate\n") != std::string::npos; }),
          "it runs with /silentdbupdate");

    wchar_t self[MAX_PATH];
    const std::wstring selfPath(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    const std::wstring needsAbsent
        = argc >= 3 ? std::wstring(argv[2]) : selfPath.substr(0, selfPath.find_last_of(L'\\') + 1) + L"needsabsent.exe";
    checkWatch(selfPath, needsAbsent, folder);

    Win32::terminateInstances(exe);
    Win32::terminateInstances(other);
    waitFor(
        [] { return Win32::processesNamed(L"Vantora.exe").empty() && Win32::processesNamed(L"Other.exe").empty(); });
    for (const wchar_t *name :
         {L"\\Vantora.exe", L"\\Vantora.exe.log", L"\\Other.exe", L"\\Other.exe.log", L"\\Vantora_old.exe"})
        DeleteFileW((folder + name).c_str());
    DeleteFileW(theirs.c_str());
    DeleteFileW((theirs + L".log").c_str());
    RemoveDirectoryW(elsewhere.c_str());
    RemoveDirectoryW(folder.c_str());
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
