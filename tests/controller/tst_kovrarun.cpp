// Whole runs of the built kovra program against a pseudo-terminal, headless:
// the frames on the line, their order and spacing, the remembered channel
// afterwards, messages on standard error and the exit status.
#include "ptyline.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace kovra::test;
using namespace std::chrono_literals;
using Keys = std::vector<std::string>;

namespace {

struct RunResult {
    int exitStatus = -1;  // -1: killed by a signal or by our timeout
    bool timedOut = false;
    std::string stderrText;
};

class KovraRun : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(home.isValid()); }

    QString iniPath() const { return home.path() + "/KOVRA.ini"; }

    // Port 1 is the pty unless `content` maps it elsewhere; `content` follows.
    void writeSettings(const QByteArray &content, bool mapPort1 = true)
    {
        QFile f(iniPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        if (mapPort1)
            f.write("[Ports]\n1=" + QByteArray::fromStdString(line.slavePath()) + "\n\n");
        f.write(content);
    }

    QByteArray settingsFile() const
    {
        QFile f(iniPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    std::optional<QString> stored(const QString &section) const
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        EXPECT_EQ(settings.status(), QSettings::NoError) << "settings file stays readable";
        const QVariant v = settings.value(section + "/value");
        return v.isValid() ? std::optional(v.toString()) : std::nullopt;
    }

    pid_t spawn(const std::vector<std::string> &args, const std::string &stderrPath)
    {
        std::vector<std::string> env;
        for (char **e = environ; *e; ++e) {
            const std::string var = *e;
            const std::string name = var.substr(0, var.find('='));
            if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM"
                && name != "XDG_CONFIG_HOME")
                env.push_back(var);
        }
        env.push_back("XDG_CONFIG_HOME=" + home.path().toStdString());
        env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char *> envp, argv;
        for (auto &v : env)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string program = KOVRA_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (auto &a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << program;
        return pid;
    }

    // Starts one kovra per argument list at once and reads the line until
    // all have ended (or 15 s have passed: a hang).
    std::vector<RunResult> runTogether(const std::vector<std::vector<std::string>> &runs)
    {
        start = Clock::now();
        std::vector<pid_t> pids;
        std::vector<std::string> stderrPaths;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            stderrPaths.push_back(home.path().toStdString() + "/stderr" + std::to_string(i));
            pids.push_back(spawn(runs[i], stderrPaths.back()));
        }
        std::vector<RunResult> results(runs.size());
        std::size_t running = runs.size();
        const auto deadline = start + 15s;
        while (running > 0) {
            line.readFor(20ms);
            for (std::size_t i = 0; i < pids.size(); ++i) {
                if (pids[i] <= 0)
                    continue;
                int status = 0;
                if (::waitpid(pids[i], &status, WNOHANG) == pids[i]) {
                    results[i].exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                    pids[i] = -1;
                    --running;
                } else if (Clock::now() > deadline) {
                    ::kill(pids[i], SIGKILL);
                    ::waitpid(pids[i], &status, 0);
                    results[i].timedOut = true;
                    pids[i] = -1;
                    --running;
                }
            }
        }
        line.readFor(100ms);  // anything still on its way
        for (std::size_t i = 0; i < runs.size(); ++i) {
            QFile f(QString::fromStdString(stderrPaths[i]));
            if (f.open(QIODevice::ReadOnly))
                results[i].stderrText = f.readAll().toStdString();
        }
        return results;
    }

    RunResult run(const std::vector<std::string> &args) { return runTogether({args}).front(); }

    Keys keys() const { return decodeStream(line.received); }

    double msFromStartToFrame(std::size_t index) const
    {
        return std::chrono::duration<double, std::milli>(line.timeOfByte(index * 34) - start).count();
    }

    // Lines the program wrote as messages ("kovra: ..."), without Qt's own chatter.
    static std::vector<std::string> messages(const std::string &stderrText)
    {
        std::vector<std::string> found;
        std::size_t at = 0;
        while (at < stderrText.size()) {
            std::size_t end = stderrText.find('\n', at);
            if (end == std::string::npos)
                end = stderrText.size();
            const std::string text = stderrText.substr(at, end - at);
            if (text.rfind("kovra: ", 0) == 0)
                found.push_back(text);
            at = end + 1;
        }
        return found;
    }

    QTemporaryDir home;
    PtyLine line;
    Clock::time_point start;
    std::vector<std::string> extraEnvironment;  // NAME=value for the runs
};

// ---- tuning runs --------------------------------------------------------

struct TuneCase {
    const char *label;
    std::optional<const char *> storedChannel;  // nullopt: nothing stored yet
    const char *argument;
    Keys keys;
};

void PrintTo(const TuneCase &c, std::ostream *os)
{
    *os << c.label;
}

class Tuning : public KovraRun, public testing::WithParamInterface<TuneCase> {};

TEST_P(Tuning, SendsTheKeysAndRemembersTheArgument)
{
    const TuneCase &c = GetParam();
    writeSettings(c.storedChannel ? QByteArray("[Channel]\nvalue=") + *c.storedChannel + "\n" : QByteArray());

    const RunResult result = run({c.argument});

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    EXPECT_EQ(messages(result.stderrText), Keys{});
    EXPECT_EQ(keys(), c.keys);
    EXPECT_EQ(stored("Channel"), QString::fromUtf8(c.argument));

    // The digit steps come about 600 ms apart; a neighbour key comes at once.
    const std::size_t frames = keys().size();
    for (std::size_t i = 1; i < frames; ++i) {
        EXPECT_GE(msFromStartToFrame(i) - msFromStartToFrame(i - 1), 550.0) << "frame " << i;
    }
    if (frames > 0) {
        EXPECT_LT(msFromStartToFrame(frames - 1), 5000.0);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(StartUpCases, Tuning, testing::Values(
    TuneCase{"nothing_stored_one_above", std::nullopt, "2", {"KeyChanUp"}},
    TuneCase{"nothing_stored_one_below", std::nullopt, "0", {"KeyChanDown"}},
    TuneCase{"same_channel_runs_digits", "12", "12", {"Key1", "Key2", "KeyEnter"}},
    TuneCase{"three_digits", "5", "123", {"Key1", "Key2", "Key3", "KeyEnter"}},
    TuneCase{"only_three_characters_sent", "5", "1234", {"Key1", "Key2", "Key3", "KeyEnter"}},
    TuneCase{"leading_zeros_sent_and_stored", "5", "007", {"Key0", "Key0", "Key7", "KeyEnter"}},
    TuneCase{"sign_sends_nothing", "9", "-5", {"Key5", "KeyEnter"}},
    TuneCase{"letters_read_as_zero", "1", "abc", {"KeyChanDown"}},
    TuneCase{"empty_stored_then_one", "", "1", {"KeyChanUp"}},
    TuneCase{"empty_stored_then_zero", "", "0", {"Key0", "KeyEnter"}},
    TuneCase{"tie_to_even_neighbour", "1", "2.5", {"KeyChanUp"}},
    TuneCase{"exponent_argument", "1", "1e3", {"Key1", "Key3", "KeyEnter"}},
    TuneCase{"blank_argument_reads_zero", "1", " ", {"KeyChanDown"}},
    TuneCase{"stored_list_reads_as_text", "1, 2", "2", {"KeyChanUp"}},
    TuneCase{"top_of_range_digits", "32767", "5", {"Key5", "KeyEnter"}},
    TuneCase{"top_of_range_down", "32767", "32766", {"KeyChanDown"}},
    TuneCase{"top_of_range_no_wrap", "32767", "-32768", {"Key3", "Key2", "KeyEnter"}},
    TuneCase{"bottom_of_range_up", "-32768", "-32767", {"KeyChanUp"}},
    TuneCase{"bottom_of_range_digits", "-32768", "5", {"Key5", "KeyEnter"}},
    TuneCase{"bottom_of_range_no_wrap", "-32768", "32767", {"Key3", "Key2", "Key7", "KeyEnter"}}
), [](const testing::TestParamInfo<TuneCase> &info) { return std::string(info.param.label); });
// clang-format on

TEST_F(KovraRun, SeveralArgumentsAreJoinedByOneBlank)
{
    writeSettings("[Channel]\nvalue=5\n");
    const RunResult result = run({"1", "2"});
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    EXPECT_EQ(keys(), (Keys{"Key1", "Key2", "KeyEnter"}));
    EXPECT_EQ(stored("Channel"), "1 2");
}

TEST_F(KovraRun, ArgumentThatIsNotUtf8IsStoredReadably)
{
    writeSettings("[Channel]\nvalue=1\n");
    const RunResult result = run({"\xff\xfe"});
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    EXPECT_EQ(keys(), Keys{"KeyChanDown"});  // no number: 0, one below 1
    EXPECT_EQ(stored("Channel"), QString(2, QChar(0xFFFD)));
}

TEST_F(KovraRun, TwoRunsStartedTogetherNeverInterleave)
{
    writeSettings("[Channel]\nvalue=1\n");
    const auto results = runTogether({{"123"}, {"456"}});
    for (const RunResult &r : results) {
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitStatus, 0) << r.stderrText;
    }
    const Keys first = {"Key1", "Key2", "Key3", "KeyEnter"};
    const Keys second = {"Key4", "Key5", "Key6", "KeyEnter"};
    Keys oneThenOther = first, otherThenOne = second;
    oneThenOther.insert(oneThenOther.end(), second.begin(), second.end());
    otherThenOne.insert(otherThenOne.end(), first.begin(), first.end());
    const Keys got = keys();
    EXPECT_TRUE(got == oneThenOther || got == otherThenOne) << testing::PrintToString(got);
}

// A recorder's two channel changes in a row: whichever run goes second must
// start from the channel the first one left, so the box ends where the
// remembered channel says it is.
TEST_F(KovraRun, TwoRunsStartedTogetherAgreeOnTheRememberedChannel)
{
    writeSettings("[Channel]\nvalue=5\n");
    const auto results = runTogether({{"4"}, {"6"}});
    for (const RunResult &r : results)
        EXPECT_EQ(r.exitStatus, 0) << r.stderrText;

    int box = 5;
    std::string digits;
    for (const std::string &key : keys()) {
        if (key == "KeyChanUp")
            ++box;
        else if (key == "KeyChanDown")
            --box;
        else if (key == "KeyEnter")
            box = std::stoi(digits), digits.clear();
        else
            digits += key.back();
    }
    const std::optional<QString> remembered = stored("Channel");
    ASSERT_TRUE(remembered);
    EXPECT_EQ(box, remembered->toInt()) << testing::PrintToString(keys());
}

// A DISPLAY left over in a service's environment, with no X server behind it.
TEST_F(KovraRun, UnreachableDisplayStillTunes)
{
    writeSettings("[Channel]\nvalue=1\n");
    extraEnvironment = {"DISPLAY=:77"};
    const RunResult result = run({"2"});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    EXPECT_EQ(keys(), Keys{"KeyChanUp"});
}

TEST_F(KovraRun, KeypadWithoutDisplayEndsAtOnceInsteadOfWaitingUnseen)
{
    writeSettings("");
    const RunResult result = run({});
    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.exitStatus, 0);
    const auto lines = messages(result.stderrText);
    ASSERT_EQ(lines.size(), 1u) << result.stderrText;
    EXPECT_NE(lines.front().find("no display"), std::string::npos);
    EXPECT_TRUE(keys().empty());
}

// ---- failures -----------------------------------------------------------

TEST_F(KovraRun, NoPortIsReportedAndTheRunFails)
{
    writeSettings("[Comport]\nvalue=7\n[Ports]\n7=/nonexistent/kovra-tty\n");
    const RunResult result = run({"2"});

    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.exitStatus, 0);
    const auto lines = messages(result.stderrText);
    ASSERT_EQ(lines.size(), 2u) << result.stderrText;
    EXPECT_EQ(lines[0], "kovra: Could not open Com7");
    EXPECT_EQ(lines[1].rfind("kovra: Error 8018: ", 0), 0u) << lines[1];
    EXPECT_EQ(keys(), Keys{});
    EXPECT_EQ(stored("Channel"), "2") << "stored before the port was opened";
    EXPECT_EQ(stored("Comport"), "7");
}

TEST_F(KovraRun, FailedSendNamesWhyThePortIsClosed)
{
    writeSettings("[Comport]\nvalue=99999\n");
    const RunResult result = run({"2"});
    EXPECT_NE(result.exitStatus, 0);
    const auto lines = messages(result.stderrText);
    ASSERT_EQ(lines.size(), 1u) << result.stderrText;
    EXPECT_EQ(lines[0].rfind("kovra: Error 8018: ", 0), 0u) << lines[0];
    const std::string cause = "(Error 6: Overflow)";
    EXPECT_EQ(lines[0].substr(lines[0].size() - cause.size()), cause) << lines[0];
}

struct BadInputCase {
    const char *label;
    QByteArray settings;  // after the [Ports] entry for port 1
    std::vector<std::string> args;
    int exitStatus;
    Keys keys;
    std::vector<std::string> messages;  // exact, or a prefix ending in "..."
    std::optional<QString> storedChannel;
};

void PrintTo(const BadInputCase &c, std::ostream *os)
{
    *os << c.label;
}

class BadInput : public KovraRun, public testing::WithParamInterface<BadInputCase> {};

TEST_P(BadInput, EndsCleanlyAndKeepsTheSettingsReadable)
{
    const BadInputCase &c = GetParam();
    writeSettings("[Ports]\n2=" + QByteArray::fromStdString(line.slavePath()) + "\n\n" + c.settings);

    const RunResult result = run(c.args);

    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.stderrText;
    EXPECT_EQ(keys(), c.keys);
    const auto lines = messages(result.stderrText);
    ASSERT_EQ(lines.size(), c.messages.size()) << result.stderrText;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string &want = c.messages[i];
        if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
            EXPECT_EQ(lines[i].rfind(want.substr(0, want.size() - 3), 0), 0u) << lines[i];
        } else {
            EXPECT_EQ(lines[i], want);
        }
    }
    if (c.storedChannel) {
        EXPECT_EQ(stored("Channel"), *c.storedChannel);
    } else {
        EXPECT_TRUE(stored("Channel").has_value());  // and the file still parses
    }
}

const std::string kNotOpen = "kovra: Error 8018: ...";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, BadInput, testing::Values(
    BadInputCase{"channel_too_big", "[Channel]\nvalue=1\n", {"99999"}, 1, {}, {kNotOpen}, "1"},
    BadInputCase{"channel_thousands_of_digits", "[Channel]\nvalue=1\n", {std::string(5000, '7')}, 1, {}, {kNotOpen}, "1"},
    BadInputCase{"channel_huge_exponent", "[Channel]\nvalue=1\n", {"1e99999"}, 1, {}, {kNotOpen}, "1"},
    BadInputCase{"channel_sign_only", "[Channel]\nvalue=1\n", {"-"}, 0, {"KeyChanDown"}, {}, "-"},
    BadInputCase{"qt_option_is_a_channel_text", "[Channel]\nvalue=1\n", {"-platform", "nonexistent"}, 0,
                 {"KeyChanDown"}, {}, "-platform nonexistent"},
    BadInputCase{"stored_channel_letters", "[Channel]\nvalue=abc\n", {"1"}, 0, {"KeyChanUp"}, {}, "1"},
    BadInputCase{"stored_channel_too_big", "[Channel]\nvalue=99999\n", {"5"}, 1, {}, {kNotOpen}, "99999"},
    BadInputCase{"stored_channel_not_utf8", "[Channel]\nvalue=\xff\xfe\n", {"1"}, 0, {"KeyChanUp"}, {}, "1"},
    BadInputCase{"port_with_blank", "[Channel]\nvalue=1\n[Comport]\nvalue=\" 2\"\n", {"2"}, 0, {"KeyChanUp"}, {}, "2"},
    BadInputCase{"port_tie_to_even", "[Channel]\nvalue=1\n[Comport]\nvalue=2.5\n", {"2"}, 0, {"KeyChanUp"}, {}, "2"},
    BadInputCase{"port_letters", "[Channel]\nvalue=1\n[Comport]\nvalue=abc\n", {"2"}, 1, {},
                 {"kovra: Could not open Comabc", kNotOpen}, "2"},
    BadInputCase{"port_empty", "[Channel]\nvalue=1\n[Comport]\nvalue=\n", {"2"}, 1, {},
                 {"kovra: Could not open Com", kNotOpen}, "2"},
    BadInputCase{"port_negative", "[Channel]\nvalue=1\n[Comport]\nvalue=-2\n", {"2"}, 1, {},
                 {"kovra: Could not open Com-2", kNotOpen}, "2"},
    BadInputCase{"port_exponent_unmapped", "[Channel]\nvalue=1\n[Comport]\nvalue=1e3\n[Ports]\n1000=/nonexistent/tty\n",
                 {"2"}, 1, {}, {"kovra: Could not open Com1e3", kNotOpen}, "2"},
    BadInputCase{"port_too_big_is_silent", "[Channel]\nvalue=1\n[Comport]\nvalue=99999\n", {"2"}, 1, {}, {kNotOpen}, "1"},
    BadInputCase{"port_non_ascii", "[Channel]\nvalue=1\n[Comport]\nvalue=\xc3\xa9\n", {"2"}, 1, {},
                 {"kovra: Could not open Com\xc3\xa9", kNotOpen}, "2"},
    BadInputCase{"port_text_with_line_feed", "[Channel]\nvalue=1\n[Comport]\nvalue=\"7\\n8\"\n[Ports]\n78=/nonexistent/tty\n",
                 {"2"}, 1, {}, {"kovra: Could not open Com7 8", kNotOpen}, "2"},  // still one line
    BadInputCase{"port_not_a_terminal", "[Channel]\nvalue=1\n[Comport]\nvalue=3\n[Ports]\n3=/dev/null\n", {"2"}, 1, {},
                 {"kovra: Could not open Com3", kNotOpen}, "2"}
), [](const testing::TestParamInfo<BadInputCase> &info) { return std::string(info.param.label); });
// clang-format on

TEST_F(KovraRun, MalformedSettingsFileIsLeftAlone)
{
    // A line that is neither a section nor a key=value pair: the file does not parse.
    const QByteArray malformed = "[Ports]\n1=" + QByteArray::fromStdString(line.slavePath())
                                 + "\nnot a setting\n[Channel]\nvalue=5\n";
    writeSettings(malformed, false);
    const RunResult result = run({"7"});
    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.exitStatus, 0);
    EXPECT_EQ(settingsFile(), malformed);
    EXPECT_EQ(keys(), Keys{});
}

TEST_F(KovraRun, UnreadableSettingsFileDoesNotStopTheRunFromEnding)
{
    ASSERT_TRUE(QDir().mkpath(iniPath()));
    const RunResult result = run({"7"});
    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.exitStatus, 0);
    EXPECT_TRUE(QFileInfo(iniPath()).isDir());
}

}  // namespace
