// A stand-in for the application executable. It appends one line with its
// process id and arguments to "<its own name>.log" beside itself, then waits
// until it is stopped (tests tell builds apart by their bytes: a copy with a
// few bytes appended still runs).
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
