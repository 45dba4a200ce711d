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
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// What the two start processes need, all prepared by the caller: they share
// the caller's memory and must not allocate. The kernel writes the pid and
// clears the two running flags (CLONE_PARENT_SETTID, CLONE_CHILD_CLEARTID):
// a flag becomes 0 when its process execs or ends, and waiters on it wake.
struct StartRequest {
    char *const *argv;
    char *programStack;            // top of the program process's stack
    pid_t programPid = 0;          // set once the program process exists
    pid_t programRunning = 1;      // futex: cleared when it execs or ends
    pid_t intermediateRunning = 1; // cleared when the intermediate ends
    int error = 0;                 // why the start failed
};

// Records why the start failed, before the kernel clears a running flag.
void SetError(StartRequest &request, int error)
{
    request.error = error;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

// Closes every descriptor from 3 up. close_range is missing before Linux 5.9
// and refused by some container seccomp profiles; then the descriptors that
// /proc/self/fd lists are closed one by one (a loop up to the descriptor
// limit could take minutes). No allocation: this runs on the caller's memory.
bool CloseDescriptorsFromThree()
{
    if (close_range(3, ~0U, 0) == 0)
        return true;
    const int list = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (list < 0)
        return false;
    alignas(dirent64) char buffer[2048];
    ssize_t got;
    while ((got = getdents64(list, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            at += entry->d_reclen;
            int fd = 0;
            const char *digit = entry->d_name;
            for (; *digit >= '0' && *digit <= '9'; ++digit)
                fd = fd * 10 + (*digit - '0');
            if (*digit == '\0' && digit != entry->d_name && fd >= 3 && fd != list)
                close(fd);
        }
    }
    close(list);
    return got == 0;
}

// Runs in the process that becomes the program, on the caller's memory with
// every signal blocked. The program starts with default signal handling,
// nothing blocked, and only descriptors 0, 1 and 2 (hosts rarely mark every
// descriptor close-on-exec). The handlers are reset before anything is
// unblocked so that no host handler runs here; the C library refuses its own
// two signals, which exec resets anyway.
int ExecProgram(void *argument)
{
    auto &request = *static_cast<StartRequest *>(argument);
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
        if (number != SIGKILL && number != SIGSTOP)
            sigaction(number, &defaults, nullptr);
    if (CloseDescriptorsFromThree()) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(request.argv[0], request.argv);
    }
    SetError(request, ErrorNumber());
    _exit(127);
}

// Runs in the intermediate process: starts the program process and ends at
// once, so the program is left to init and never becomes the host's child.
int StartProgramProcess(void *argument)
{
    auto &request = *static_cast<StartRequest *>(argument);
    if (clone(ExecProgram, request.programStack, CLONE_VM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD,
              argument, &request.programPid, nullptr, &request.programRunning) < 0) {
        SetError(request, ErrorNumber());
        __atomic_store_n(&request.programRunning, 0, __ATOMIC_RELEASE);
        syscall(SYS_futex, &request.programRunning, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    }
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
// (CLONE_VM) on a small stack of its own, starts the program process (also
// CLONE_VM, on a second stack) and exits at once; the program process is
// reparented to init, resets its signals and descriptors and execs.
//
// The caller sleeps until the kernel clears the program's running flag at
// its exec (or its end): the one wake-up a bare posix_spawn has too. With
// posix_spawn inside a vfork-style intermediate instead, the intermediate
// itself only woke at the program's exec and had to run again (free its
// spawn stack, exit) before the caller could go on; it often queued for the
// CPU behind the freshly started program, about 1 ms on a small machine.
// Here the intermediate ends right after making the program process, while
// that one is still getting ready, and is reaped without waiting.
//
// The intermediate has no exit signal: the host gets no SIGCHLD from it, a
// host reaping "any child" cannot take it, and a host ignoring SIGCHLD
// does not make the kernel reap it before we do.
bool StartDetached(char *const argv[])
{
    if (!argv || !argv[0])
        return false;

    constexpr std::size_t intermediateStackSize = 16 * 1024;
    constexpr std::size_t stackSize = intermediateStackSize + 64 * 1024;
    void *stacks = mmap(nullptr, stackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stacks == MAP_FAILED)
        return false;
    StartRequest request{argv, static_cast<char *>(stacks) + stackSize};

    // The processes run on the caller's memory and thread-local data: no host
    // signal handler may run in them, and a cancellation must not unwind this
    // frame while they use it.
    int cancelState;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);

    const pid_t intermediate = clone(StartProgramProcess, static_cast<char *>(stacks) + intermediateStackSize,
                                     CLONE_VM | CLONE_CHILD_CLEARTID, &request, nullptr, nullptr,
                                     &request.intermediateRunning);
    if (intermediate < 0) {
        request.error = ErrorNumber();
    } else {
        // Until the flag is cleared the stacks and `request` are in use. The
        // processes write errno too, so the wait's own result is not looked
        // at. An intermediate that ended without making the program (only
        // SIGKILL can do that) must not leave us waiting.
        for (pid_t running; (running = __atomic_load_n(&request.programRunning, __ATOMIC_ACQUIRE)) != 0;) {
            if (__atomic_load_n(&request.intermediateRunning, __ATOMIC_ACQUIRE) == 0 &&
                __atomic_load_n(&request.programPid, __ATOMIC_ACQUIRE) == 0) {
                request.error = ECHILD;
                break;
            }
            timespec patience{0, 100'000'000};
            syscall(SYS_futex, &request.programRunning, FUTEX_WAIT, running, &patience, nullptr, 0);
        }
        while (waitpid(intermediate, nullptr, __WALL) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_setcancelstate(cancelState, nullptr);
    munmap(stacks, stackSize);
    return request.error == 0;
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
