#include "win32/win32layer.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>

namespace Win32 {

namespace {

bool sameName(const wchar_t *a, const std::wstring &b)
{
    // Names compare as the file system compares them: without regard to
    // case, in every script.
    return CompareStringOrdinal(a, -1, b.c_str(), static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// One argument quoted so that the C runtime reads it back unchanged.
void appendQuoted(std::wstring &line, const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    for (auto it = argument.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != argument.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == argument.end()) {
            // Backslashes before the closing quote are doubled.
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
            line += L'"';
        } else {
            line.append(backslashes, L'\\');
            line += *it;
        }
    }
    line += L'"';
}

} // namespace

std::vector<unsigned long> processesNamed(const std::wstring &imageName)
{
    std::vector<unsigned long> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID != GetCurrentProcessId() && sameName(entry.szExeFile, imageName))
            found.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return found;
}

int terminateInstances(const std::wstring &executablePath)
{
    const std::size_t slash = executablePath.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return 0;
    const std::wstring folder = executablePath.substr(0, slash + 1);
    const std::wstring imageName = executablePath.substr(slash + 1);
    DWORD ownSession = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &ownSession))
        return 0;
    int told = 0;
    for (const unsigned long pid : processesNamed(imageName)) {
        DWORD session = 0;
        if (!ProcessIdToSessionId(pid, &session) || session != ownSession)
            continue; // another user's desktop on the same machine
        HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!process)
            continue; // another user's, or a protected one
        std::wstring image(32768, L'\0');
        auto length = static_cast<DWORD>(image.size());
        const bool here = QueryFullProcessImageNameW(process, 0, image.data(), &length) && length > folder.size()
            && CompareStringOrdinal(image.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                    static_cast<int>(folder.size()), TRUE)
                == CSTR_EQUAL
            && image.find_first_of(L"\\/", folder.size()) >= length;
        if (here && TerminateProcess(process, 1))
            ++told;
        CloseHandle(process);
    }
    return told;
}

std::wstring commandLine(const std::wstring &program, const std::vector<std::wstring> &arguments)
{
    std::wstring line;
    // The program's own name is read by other rules (no backslash escapes):
    // it is always quoted, and holds no quote.
    line += L'"';
    line += program;
    line += L'"';
    for (const std::wstring &argument : arguments) {
        line += L' ';
        appendQuoted(line, argument);
    }
    return line;
}

namespace {

// Starts `program` with its window hidden, in a process group of its own;
// false where CreateProcessW fails.
BOOL createHidden(const std::wstring &program, const std::vector<std::wstring> &arguments,
                  const std::wstring &workingFolder, PROCESS_INFORMATION &started)
{
    std::wstring line = commandLine(program, arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // CreateProcessW may write into the command line: it gets its own copy.
    return CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP, nullptr,
                          workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &started);
}

} // namespace

bool startHidden(const std::wstring &program, const std::vector<std::wstring> &arguments,
                 const std::wstring &workingFolder)
{
    PROCESS_INFORMATION process{};
    if (!createHidden(program, arguments, workingFolder, process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool startWatched(const std::wstring &program, const std::vector<std::wstring> &arguments,
                  const std::wstring &workingFolder, void *&process, unsigned long &error)
{
    PROCESS_INFORMATION started{};
    // A child inherits the error mode: set for the moment of the start.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const BOOL ok = createHidden(program, arguments, workingFolder, started);
    error = ok ? 0 : GetLastError();
    SetErrorMode(previous);
    if (!ok)
        return false;
    CloseHandle(started.hThread);
    process = started.hProcess;
    return true;
}

bool processEnded(void *process, unsigned long milliseconds, unsigned long &exitCode)
{
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code))
        return false;
    exitCode = code;
    return true;
}

bool moveReplacing(const std::wstring &from, const std::wstring &to)
{
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool appendBytes(const std::wstring &path, const char *bytes, std::size_t size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // A reparse point (a symbolic link) in the file's place is not written
    // through.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(file);
        return false;
    }
    // Writers take turns: the whole file is locked while one finds the end
    // and writes there. (Appending alone is not enough under Wine, where
    // two processes appending at once were seen to overwrite each other.)
    OVERLAPPED whole{};
    bool done = false;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        LARGE_INTEGER end{};
        DWORD written = 0;
        done = SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END)
            && WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    }
    CloseHandle(file);
    return done;
}

void useParentConsole()
{
    const auto leadsNowhere = [](DWORD which) {
        HANDLE handle = GetStdHandle(which);
        return handle == nullptr || handle == INVALID_HANDLE_VALUE || GetFileType(handle) == FILE_TYPE_UNKNOWN;
    };
    if (!leadsNowhere(STD_OUTPUT_HANDLE) && !leadsNowhere(STD_ERROR_HANDLE))
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    FILE *stream = nullptr;
    if (leadsNowhere(STD_OUTPUT_HANDLE))
        freopen_s(&stream, "CONOUT$", "w", stdout);
    if (leadsNowhere(STD_ERROR_HANDLE))
        freopen_s(&stream, "CONOUT$", "w", stderr);
}

namespace {

// The file itself at the path, made when missing, never what a reparse
// point there leads to. No security attributes: the handle is not
// inherited by programs the tool starts.
OpenResult openOwn(const std::wstring &path, HANDLE &file)
{
    file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return OpenResult::Failed;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        CloseHandle(file);
        return OpenResult::Failed;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(file);
        return OpenResult::Link;
    }
    return OpenResult::Opened;
}

} // namespace

LockResult lockFile(const std::wstring &path, void *&handle)
{
    // The relaunched application never holds the lock: the handle is not
    // inherited.
    HANDLE file = INVALID_HANDLE_VALUE;
    switch (openOwn(path, file)) {
    case OpenResult::Opened: break;
    case OpenResult::Link: return LockResult::Link;
    case OpenResult::Failed: return LockResult::Failed;
    }
    OVERLAPPED first{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? LockResult::Busy : LockResult::Failed;
    }
    handle = file;
    return LockResult::Held;
}

OpenResult openFile(const std::wstring &path, bool truncate, void *&handle)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    const OpenResult result = openOwn(path, file);
    if (result != OpenResult::Opened)
        return result;
    // Emptied only once it is known to be the file itself.
    if (truncate && !SetEndOfFile(file)) {
        CloseHandle(file);
        return OpenResult::Failed;
    }
    handle = file;
    return OpenResult::Opened;
}

ReadResult openForReading(const std::wstring &path, void *&handle)
{
    // A pipe's open does not wait (a busy one fails); its handle is closed
    // before any read.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return ReadResult::Missing;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
            ? ReadResult::NotDisk
            : ReadResult::Failed;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return ReadResult::NotDisk;
    }
    handle = file;
    return ReadResult::Opened;
}

bool isReparsePoint(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void closeHandle(void *handle)
{
    CloseHandle(handle);
}

} // namespace Win32
