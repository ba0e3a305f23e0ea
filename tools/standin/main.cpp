// A stand-in for the application executable. It appends one line with its
// process id and arguments to "<its own name>.log" beside itself, then waits
// until it is stopped (tests tell builds apart by their bytes: a copy with a
// few bytes appended still runs).
#ifdef _WIN32

#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t **argv)
{
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, sizeof self / sizeof self[0]);
    std::wstring path(self, length);
    std::wstring line = std::to_wstring(GetCurrentProcessId());
    for (int i = 1; i < argc; ++i)
        line += std::wstring(L" ") + argv[i];
    line += L"\n";
    // The log is UTF-8, as on every platform.
    const int bytes
        = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), utf8.data(), bytes, nullptr, nullptr);
    if (FILE *log = _wfopen((path + L".log").c_str(), L"ab")) {
        std::fwrite(utf8.data(), 1, utf8.size(), log);
        std::fclose(log);
    }
    for (;;)
        Sleep(INFINITE);
}

#else

#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char **argv)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string(argv[0]);
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());

    std::string line = std::to_string(getpid());
    for (int i = 1; i < argc; ++i)
        line += std::string(" ") + argv[i];
    line += "\n";
    if (FILE *log = std::fopen((path + ".log").c_str(), "a")) {
        std::fputs(line.c_str(), log);
        std::fclose(log);
    }
    for (;;)
        pause();
}

#endif
