// MacroTune: reads the command template from the configuration directory,
// puts the channel in, and starts the command detached.
#include "macrotune.h"

#include "quillet.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quillet {

namespace {

constexpr char defaultRoot[] = "/etc/quillet";
constexpr char keyPath[] = "/Software/Tavrin/DOROzoduVezuru";
constexpr char valueName[] = "command";
constexpr char channelToken[] = "%CHANNEL%";

int ErrorNumber() { return errno != 0 ? errno : EIO; }

// mkdir -p; an existing directory on the way is fine.
int CreateDirectories(char *path)
{
    for (char *slash = std::strchr(path + 1, '/'); slash; slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        const int made = mkdir(path, 0755);
        *slash = '/';
        if (made != 0 && errno != EEXIST)
            return ErrorNumber();
    }
    if (mkdir(path, 0755) != 0 && errno != EEXIST)
        return ErrorNumber();
    return 0;
}

int OpenDirectory(const char *path) { return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// What the intermediate process needs, all prepared by the caller: the
// intermediate shares the caller's memory and must not allocate.
struct SpawnRequest {
    char *const *argv;
    const posix_spawn_file_actions_t *actions;
    const posix_spawnattr_t *attributes;
    int result;
};

int SpawnFromIntermediate(void *argument)
{
    auto *request = static_cast<SpawnRequest *>(argument);
    pid_t program;
    request->result = posix_spawnp(&program, request->argv[0], request->actions,
                                   request->attributes, request->argv, environ);
    _exit(0);
}

}  // namespace

int OpenConfigurationKey()
{
    const char *root = std::getenv("QUILLET_CONFIG_ROOT");
    if (!root || !*root)
        root = defaultRoot;
    char path[PATH_MAX];
    const int length = std::snprintf(path, sizeof path, "%s%s", root, keyPath);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
        return -ENAMETOOLONG;

    int key = OpenDirectory(path);
    if (key < 0 && errno == ENOENT) {
        if (const int error = CreateDirectories(path))
            return -error;
        key = OpenDirectory(path);
    }
    return key >= 0 ? key : -ErrorNumber();
}

bool ReadCommandTemplate(int keyDirectory, char (&text)[lineSize])
{
    // Non-blocking: a FIFO named "command" must not hang the host.
    const int file = openat(keyDirectory, valueName, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file < 0)
        return false;
    struct stat status;
    bool ok = fstat(file, &status) == 0 && S_ISREG(status.st_mode);
    std::size_t count = 0;
    while (ok && count < lineSize) {
        const ssize_t got = read(file, text + count, lineSize - count);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            ok = false;
        if (got <= 0)
            break;
        count += static_cast<std::size_t>(got);
    }
    close(file);
    if (!ok)
        return false;
    if (std::memchr(text, '\0', count))
        return true;
    if (count == lineSize)
        return false;  // 512 bytes without a terminator: too long
    text[count] = '\0';
    return true;
}

bool BuildCommandLine(const char *templateText, int32_t channel, char (&line)[lineSize])
{
    const char *token = std::strstr(templateText, channelToken);
    if (!token)
        return false;
    const int length = std::snprintf(line, sizeof line, "%.*s%d%s", static_cast<int>(token - templateText),
                                     templateText, static_cast<int>(channel), token + sizeof channelToken - 1);
    // A cut-off command line could tune a wrong channel: refuse it.
    return length >= 0 && static_cast<std::size_t>(length) < lineSize;
}

int SplitWords(const char *line, char (&storage)[lineSize], char *(&words)[maxWords + 1])
{
    std::size_t used = 0;
    std::size_t count = 0;
    auto put = [&](char c) {
        if (used >= lineSize)
            return false;
        storage[used++] = c;
        return true;
    };
    const char *p = line;
    for (;;) {
        while (IsBlank(*p) || (p[0] == '\\' && p[1] == '\n'))
            p += IsBlank(*p) ? 1 : 2;
        if (!*p)
            break;
        if (count == maxWords)
            return -1;
        words[count++] = storage + used;
        while (*p && !IsBlank(*p)) {
            const char c = *p++;
            if (c == '\'') {
                while (*p && *p != '\'')
                    if (!put(*p++))
                        return -1;
                if (!*p++)
                    return -1;
            } else if (c == '"') {
                while (*p && *p != '"') {
                    if (p[0] == '\\' && p[1] == '\n') {
                        p += 2;
                        continue;
                    }
                    if (p[0] == '\\' && p[1] && std::strchr("\"\\$`", p[1]))
                        ++p;
                    if (!put(*p++))
                        return -1;
                }
                if (!*p++)
                    return -1;
            } else if (c == '\\') {
                if (!*p)
                    return -1;
                if (*p == '\n') {
                    ++p;
                    continue;
                }
                if (!put(*p++))
                    return -1;
            } else if (!put(c)) {
                return -1;
            }
        }
        if (!put('\0'))
            return -1;
    }
    words[count] = nullptr;
    return static_cast<int>(count);
}

// The program must neither copy the host's memory (the host may hold
// gigabytes: fork() would copy its page tables) nor stay the host's child
// (the host would have to reap it, and we must not wait for it, nor touch
// the host's SIGCHLD handling, nor leave a thread behind in a library that
// may be unloaded). So an intermediate process shares the caller's memory
// (CLONE_VM, like vfork) on a small stack of its own, starts the program
// with posix_spawnp and exits at once. The caller is suspended until then
// (CLONE_VFORK), reaps the intermediate at once, and the program is
// reparented to init. posix_spawnp reports exec failures, so a program
// that can't start is reported too.
bool StartDetached(char *const argv[])
{
    if (!argv || !argv[0])
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // Hosts rarely mark every descriptor close-on-exec: pass on only 0, 1, 2.
    // The program starts with default signal handling and nothing blocked.
    bool prepared = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                    posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
                    posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
                    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;

    constexpr std::size_t stackSize = 64 * 1024;
    void *stack = MAP_FAILED;
    if (prepared)
        stack = mmap(nullptr, stackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);

    SpawnRequest request{argv, &actions, &attributes, -1};
    pid_t intermediate = -1;
    if (stack != MAP_FAILED) {
        // The intermediate runs on the caller's memory and thread-local data:
        // no host signal handler may run in it.
        sigset_t previous;
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        intermediate = clone(SpawnFromIntermediate, static_cast<char *>(stack) + stackSize,
                             CLONE_VM | CLONE_VFORK | SIGCHLD, &request);
        if (intermediate > 0) {
            // It has already exited: this does not wait for the program. A
            // host thread reaping all children may have taken it first.
            while (waitpid(intermediate, nullptr, __WALL) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        munmap(stack, stackSize);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return intermediate > 0 && request.result == 0;
}

}  // namespace quillet

int32_t MacroTune(int32_t channel)
{
    const int key = quillet::OpenConfigurationKey();
    if (key < 0)
        return -key;
    char templateText[quillet::lineSize];
    if (!quillet::ReadCommandTemplate(key, templateText))
        return close(key) == 0 ? 0 : quillet::ErrorNumber();
    close(key);

    char line[quillet::lineSize];
    if (!quillet::BuildCommandLine(templateText, channel, line))
        return 0;
    char storage[quillet::lineSize];
    char *words[quillet::maxWords + 1];
    if (quillet::SplitWords(line, storage, words) <= 0)
        return 0;
    return quillet::StartDetached(words) ? 1 : 0;
}
