// Stands in for the tuner program that MacroTune starts. Usage:
//   quillet_argv_recorder <directory> [arguments...]
// Writes <directory>/<pid>.rec with lines "pid N", "ppid N", "arg TEXT" for
// each further argument and "fd N" for each descriptor open at start, then
// ends. The file appears whole (written aside, then renamed).
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    std::vector<int> fds;
    if (DIR *dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const int fd = std::atoi(entry->d_name);
            if (fd != own)
                fds.push_back(fd);
        }
        closedir(dir);
    }
    const std::string base = std::string(argv[1]) + "/" + std::to_string(getpid());
    const std::string temporary = base + ".tmp";
    FILE *out = std::fopen(temporary.c_str(), "w");
    if (!out)
        return 1;
    std::fprintf(out, "pid %d\nppid %d\n", static_cast<int>(getpid()), static_cast<int>(getppid()));
    for (int i = 2; i < argc; ++i)
        std::fprintf(out, "arg %s\n", argv[i]);
    for (int fd : fds)
        std::fprintf(out, "fd %d\n", fd);
    if (std::fclose(out) != 0)
        return 1;
    return std::rename(temporary.c_str(), (base + ".rec").c_str()) == 0 ? 0 : 1;
}
