// MacroTune through the loaded plug-in, with a configuration root of its own
// and a program that records how it was started.
#include "loaded_plugin.h"
#include "quillet.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What one run of the recorder wrote.
struct Record {
    int pid = 0;
    int ppid = 0;
    std::vector<std::string> arguments;
    std::set<int> fds;
};

Record ParseRecord(const fs::path &file)
{
    Record record;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const auto blank = line.find(' ');
        const std::string field = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (field == "pid")
            record.pid = std::stoi(value);
        else if (field == "ppid")
            record.ppid = std::stoi(value);
        else if (field == "arg")
            record.arguments.push_back(value);
        else if (field == "fd")
            record.fds.insert(std::stoi(value));
    }
    return record;
}

// Children of this process, zombies included, as /proc shows them.
std::vector<int> ChildrenInProc()
{
    std::vector<int> children;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string content((std::istreambuf_iterator<char>(stat)), {});
        const auto close = content.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(content.substr(close + 2));
        char state;
        int parent;
        if (rest >> state >> parent && parent == getpid())
            children.push_back(std::stoi(name));
    }
    return children;
}

class MacroTuneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(plugin.handle(), nullptr) << dlerror();
        macroTune = plugin.Get<QuilletMacroTuneFn>("MacroTune");
        char pattern[] = "/tmp/quillet-tune-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch = pattern;
        root = scratch / "root";
        key = root / "Software/Tavrin/DOROzoduVezuru";
        records = scratch / "records";
        fs::create_directories(key);
        fs::create_directories(records);
        setenv("QUILLET_CONFIG_ROOT", root.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("QUILLET_CONFIG_ROOT");
        fs::remove_all(scratch);
    }

    void SetCommand(const std::string &bytes)
    {
        std::ofstream(key / "command", std::ios::binary | std::ios::trunc) << bytes;
    }
    // The recorder, writing into this test's directory, then `rest`.
    std::string Recorder(const std::string &rest) const
    {
        return "'" + std::string(RECORDER_PATH) + "' '" + records.string() + "' " + rest;
    }
    // The recorder with `tail`, a word of padding between them to make the
    // whole value `size` characters long.
    std::string Padded(size_t size, const std::string &tail) const
    {
        const std::string head = Recorder("");
        return head + std::string(size - head.size() - tail.size(), 'q') + tail;
    }
    std::vector<fs::path> RecordFiles() const
    {
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(records))
            if (entry.path().extension() == ".rec")
                files.push_back(entry.path());
        return files;
    }
    // Waits (generously: these machines are shared) for `count` records.
    std::vector<Record> WaitForRecords(size_t count) const
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (RecordFiles().size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        std::vector<Record> result;
        for (const fs::path &file : RecordFiles())
            result.push_back(ParseRecord(file));
        return result;
    }
    // Waits until the recorded program has ended (it is not our child).
    static void WaitUntilGone(int pid)
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string content((std::istreambuf_iterator<char>(stat)), {});
            const auto close = content.rfind(')');
            if (!stat || close == std::string::npos || content[close + 2] == 'Z')
                return;
            std::this_thread::sleep_for(5ms);
        }
    }
    static void ExpectNoChildToReap()
    {
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        EXPECT_EQ(ChildrenInProc(), std::vector<int>{});
    }

    LoadedPlugin plugin;
    QuilletMacroTuneFn macroTune = nullptr;
    fs::path scratch, root, key, records;
};

struct StartCase {
    const char *name;
    std::string rest;  // the template after the recorder and its directory
    int32_t channel;
    std::vector<std::string> arguments;
};

void PrintTo(const StartCase &c, std::ostream *out) { *out << c.name; }

class MacroTuneStartTest : public MacroTuneTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(MacroTuneStartTest, StartsTheProgramWithTheChannel)
{
    SetCommand(Recorder(GetParam().rest));
    EXPECT_EQ(macroTune(GetParam().channel), 1);
    const std::vector<Record> started = WaitForRecords(1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].arguments, GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, MacroTuneStartTest,
    ::testing::Values(
        StartCase{"Channel705", "%CHANNEL%", 705, {"705"}},
        StartCase{"ChannelZero", "%CHANNEL%", 0, {"0"}},
        StartCase{"Negative", "%CHANNEL%", -5, {"-5"}},
        StartCase{"Lowest", "%CHANNEL%", INT_MIN, {"-2147483648"}},
        StartCase{"SecondTokenStays", "%CHANNEL% %CHANNEL%", 12, {"12", "%CHANNEL%"}},
        StartCase{"TextAroundKept", "pre%CHANNEL%post", 705, {"pre705post"}},
        StartCase{"QuotesPerShellRules", "'a b' \"c  d\" e\\ f %CHANNEL%", 705, {"a b", "c  d", "e f", "705"}},
        StartCase{"NoExpansion", "$HOME '*' %CHANNEL%", 1, {"$HOME", "*", "1"}},
        StartCase{"TrailingLineEnd", "%CHANNEL%\n", 705, {"705"}},
        StartCase{"ZeroByteEndsTheValue", std::string("%CHANNEL%\0 ignored", 18), 9, {"9"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(MacroTuneTest, FiveHundredElevenCharactersAreAccepted)
{
    const std::string value = Padded(511, " %CHANNEL%");
    ASSERT_EQ(value.size(), 511u);
    SetCommand(value);
    EXPECT_EQ(macroTune(3), 1);
    const std::vector<Record> started = WaitForRecords(1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].arguments.back(), "3");
}

struct NothingCase {
    const char *name;
    std::optional<std::string> value;  // nullopt: no value file
    bool recorder;                     // value follows the recorder and its directory
    size_t paddedTo;                   // when not 0: the whole value's length
    int32_t channel;
};

void PrintTo(const NothingCase &c, std::ostream *out) { *out << c.name; }

class MacroTuneNothingTest : public MacroTuneTest, public ::testing::WithParamInterface<NothingCase> {};

TEST_P(MacroTuneNothingTest, ReturnsZeroAndStartsNothing)
{
    const NothingCase &c = GetParam();
    if (c.value)
        SetCommand(c.paddedTo ? Padded(c.paddedTo, *c.value) : c.recorder ? Recorder(*c.value) : *c.value);
    EXPECT_EQ(macroTune(c.channel), 0);
    std::this_thread::sleep_for(100ms);  // a start would have left a record by now
    EXPECT_EQ(RecordFiles(), std::vector<fs::path>{});
    ExpectNoChildToReap();
}

INSTANTIATE_TEST_SUITE_P(
    Values, MacroTuneNothingTest,
    ::testing::Values(
        NothingCase{"NoValue", std::nullopt, false, 0, 705},
        NothingCase{"EmptyTemplate", "", false, 0, 705},
        NothingCase{"LowerCaseToken", "%channel%", true, 0, 705},
        NothingCase{"NoToken", "705", true, 0, 705},
        NothingCase{"FiveHundredTwelveBytes", " %CHANNEL%", true, 512, 1},
        NothingCase{"CommandLineTooLong", " %CHANNEL%", true, 511, 1234567890},
        NothingCase{"UnterminatedQuote", "'%CHANNEL%", true, 0, 1},
        NothingCase{"TokenAloneIsNoProgram", "%CHANNEL%", false, 0, 705},
        NothingCase{"ProgramNotFoundInPath", "quillet-no-such-program %CHANNEL%", false, 0, 705},
        NothingCase{"ProgramPathMissing", "/nonexistent/quillet %CHANNEL%", false, 0, 705}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(MacroTuneTest, FileThatIsNotExecutableIsNotStarted)
{
    const fs::path plain = scratch / "plain";
    std::ofstream(plain) << "#!/bin/sh\ntouch '" << (records / "ran.rec").string() << "'\n";
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    SetCommand("'" + plain.string() + "' %CHANNEL%");
    EXPECT_EQ(macroTune(705), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(RecordFiles(), std::vector<fs::path>{});
    ExpectNoChildToReap();
}

TEST_F(MacroTuneTest, MissingKeyIsCreatedEmpty)
{
    fs::remove_all(root);
    EXPECT_EQ(macroTune(705), 0);
    EXPECT_TRUE(fs::is_directory(key));
    EXPECT_TRUE(fs::is_empty(key));
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::owner_all, fs::perms::owner_all);
}

TEST_F(MacroTuneTest, KeyThatCantBeMadeGivesTheErrorNumber)
{
    fs::remove_all(root);
    std::ofstream(root) << "a file where a directory should be";
    EXPECT_EQ(macroTune(705), ENOTDIR);
    EXPECT_TRUE(fs::is_regular_file(root));
}

TEST_F(MacroTuneTest, ChangedValueTakesEffectAtTheNextCall)
{
    SetCommand(Recorder("first %CHANNEL%"));
    EXPECT_EQ(macroTune(1), 1);
    ASSERT_EQ(WaitForRecords(1).size(), 1u);
    SetCommand(Recorder("second %CHANNEL%"));
    EXPECT_EQ(macroTune(2), 1);
    std::set<std::vector<std::string>> seen;
    for (const Record &record : WaitForRecords(2))
        seen.insert(record.arguments);
    EXPECT_EQ(seen, (std::set<std::vector<std::string>>{{"first", "1"}, {"second", "2"}}));
}

TEST_F(MacroTuneTest, ProgramFoundThroughPathAndCurrentDirectory)
{
    const fs::path recorder(RECORDER_PATH);
    const std::string savedPath = getenv("PATH") ? getenv("PATH") : "";
    const fs::path savedDirectory = fs::current_path();

    setenv("PATH", recorder.parent_path().c_str(), 1);
    SetCommand(recorder.filename().string() + " '" + records.string() + "' %CHANNEL%");
    EXPECT_EQ(macroTune(8), 1);
    setenv("PATH", savedPath.c_str(), 1);
    ASSERT_EQ(WaitForRecords(1).size(), 1u);

    fs::current_path(recorder.parent_path());
    SetCommand("./" + recorder.filename().string() + " '" + records.string() + "' %CHANNEL%");
    EXPECT_EQ(macroTune(9), 1);
    fs::current_path(savedDirectory);
    EXPECT_EQ(WaitForRecords(2).size(), 2u);
}

TEST_F(MacroTuneTest, LeavesNoChildToReap)
{
    SetCommand(Recorder("%CHANNEL%"));
    ASSERT_EQ(macroTune(705), 1);
    const std::vector<Record> started = WaitForRecords(1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_NE(started[0].ppid, getpid());
    WaitUntilGone(started[0].pid);
    ExpectNoChildToReap();
}

// A host that ignores SIGCHLD has its children reaped by the kernel; the
// start must neither hang nor fail there.
TEST_F(MacroTuneTest, HostIgnoringChildSignals)
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &previous), 0);
    SetCommand(Recorder("%CHANNEL%"));
    const int32_t result = macroTune(705);
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(WaitForRecords(1).size(), 1u);
}

TEST_F(MacroTuneTest, ProgramInheritsOnlyStandardDescriptors)
{
    const int inheritable = open("/dev/null", O_RDONLY);  // no O_CLOEXEC, as hosts often do
    ASSERT_GE(inheritable, 3);
    const int high = dup2(inheritable, 200);
    ASSERT_EQ(high, 200);
    SetCommand(Recorder("%CHANNEL%"));
    EXPECT_EQ(macroTune(705), 1);
    close(inheritable);
    close(high);
    const std::vector<Record> started = WaitForRecords(1);
    ASSERT_EQ(started.size(), 1u);
    for (int fd : started[0].fds)
        EXPECT_LE(fd, 2) << "descriptor " << fd << " leaked into the program";
}

// Kernels before 5.9 lack close_range, and some container seccomp profiles
// refuse it: the program must still start, with only 0, 1 and 2 open.
TEST_F(MacroTuneTest, StartsWhereCloseRangeIsRefused)
{
    SetCommand(Recorder("%CHANNEL%"));
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        struct sock_filter refuseCloseRange[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog program = {sizeof refuseCloseRange / sizeof refuseCloseRange[0], refuseCloseRange};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(90);
        if (dup2(open("/dev/null", O_RDONLY), 200) != 200)
            _exit(91);
        _exit(macroTune(705));
    }
    int status = 0;
    ASSERT_EQ(waitpid(host, &status, 0), host);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 90)
        GTEST_SKIP() << "no seccomp filters here";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::vector<Record> started = WaitForRecords(1);
    ASSERT_EQ(started.size(), 1u);
    for (int fd : started[0].fds)
        EXPECT_LE(fd, 2) << "descriptor " << fd << " leaked into the program";
}

// Hosts may call from threads with small stacks of their own.
TEST_F(MacroTuneTest, ThreadWithSmallStack)
{
    SetCommand(Recorder("%CHANNEL%"));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 64 * 1024), 0);
    struct Call {
        QuilletMacroTuneFn macroTune;
        int32_t result;
    } call{macroTune, -1};
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void *argument) -> void * {
                      auto *c = static_cast<Call *>(argument);
                      c->result = c->macroTune(4);
                      return nullptr;
                  },
                  &call),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(WaitForRecords(1).size(), 1u);
}

TEST_F(MacroTuneTest, ManyThreadsAtOnce)
{
    constexpr int threads = 8;
    SetCommand(Recorder("%CHANNEL%"));
    std::latch start(threads);
    std::vector<int32_t> results(threads, -1);
    std::vector<std::thread> callers;
    for (int i = 0; i < threads; ++i)
        callers.emplace_back([&, i] {
            start.arrive_and_wait();
            results[i] = macroTune(100 + i);
        });
    for (std::thread &caller : callers)
        caller.join();
    EXPECT_EQ(results, std::vector<int32_t>(threads, 1));
    std::set<std::string> channels;
    for (const Record &record : WaitForRecords(threads))
        channels.insert(record.arguments.at(0));
    std::set<std::string> expected;
    for (int i = 0; i < threads; ++i)
        expected.insert(std::to_string(100 + i));
    EXPECT_EQ(channels, expected);
}

}  // namespace
