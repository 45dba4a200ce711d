// boxsim as a client sees it: start it, write frames into its slave, read
// its report lines.
#include "framedecoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace {

using namespace std::chrono_literals;

class BoxSim {
public:
    explicit BoxSim(std::vector<std::string> args)
    {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        args.insert(args.begin(), BOXSIM);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, BOXSIM, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        out_ = pipeFds[0];
    }
    ~BoxSim()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    // The next line of output without its line end; "" after 10 s or at EOF.
    std::string line()
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string l = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return l;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return {};
            pollfd pfd{out_, POLLIN, 0};
            if (poll(&pfd, 1, int(left.count())) <= 0)
                continue;
            char chunk[512];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0)
                return {};
            buffer_.append(chunk, size_t(n));
        }
    }

    // Exit status once it ends by itself, -1 if it has not within 10 s.
    int waitExit()
    {
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// A client of the box: the slave side, raw, as kovra would open it.
class Client {
public:
    explicit Client(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Client()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const std::vector<uint8_t> &bytes) const
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void key(uint8_t code) const { send(framedecoder::makeFrame(code)); }

private:
    int fd_ = -1;
};

std::vector<std::string> fields(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string f; in >> f;)
        out.push_back(f);
    return out;
}

// "key <burst_ms> <run_ms> <name> <channel> <digits>" without the times.
std::string keyOf(const std::string &line)
{
    const auto f = fields(line);
    if (f.size() != 6 || f[0] != "key")
        return "not a key line: " + line;
    return f[3] + " " + f[4] + " " + f[5];
}

}  // namespace

TEST(BoxSim, TunesByDigitsEnterAndSteps)
{
    BoxSim box({"--channel", "5"});
    const std::string path = box.line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    Client client(path);
    ASSERT_TRUE(client.ok());

    client.key(0x01);
    EXPECT_EQ(keyOf(box.line()), "Key1 5 1");
    client.key(0x02);
    EXPECT_EQ(keyOf(box.line()), "Key2 5 12");
    client.key(0x03);
    EXPECT_EQ(keyOf(box.line()), "Key3 5 123");
    client.key(0x11);
    EXPECT_EQ(keyOf(box.line()), "KeyEnter 123 -");
    client.key(0x0B);
    EXPECT_EQ(keyOf(box.line()), "KeyChanUp 124 -");
    client.key(0x0C);
    client.key(0x0C);
    EXPECT_EQ(keyOf(box.line()), "KeyChanDown 123 -");
    EXPECT_EQ(keyOf(box.line()), "KeyChanDown 122 -");
    client.key(0x00);
    client.key(0x00);
    client.key(0x07);
    client.key(0x11);
    box.line();
    box.line();
    box.line();
    EXPECT_EQ(keyOf(box.line()), "KeyEnter 7 -");
    client.key(0x11);  // Enter with no digits keeps the channel
    EXPECT_EQ(keyOf(box.line()), "KeyEnter 7 -");

    box.signal(SIGTERM);
    EXPECT_EQ(box.line(), "end 7");
    EXPECT_EQ(box.waitExit(), 0);
}

TEST(BoxSim, ReportsBadInputAndKeepsGoing)
{
    BoxSim box({});
    Client client(box.line());
    ASSERT_TRUE(client.ok());

    std::vector<uint8_t> badCheck = framedecoder::makeFrame(0x05);
    badCheck[31] ^= 0xFF;
    client.send({0xde, 0xad});
    client.send(badCheck);
    client.key(0x05);

    const auto stray = fields(box.line());
    ASSERT_GE(stray.size(), 4u);
    EXPECT_EQ(stray[0], "error");
    EXPECT_EQ(stray.back(), "ad");
    const std::string check = box.line();
    EXPECT_EQ(check.rfind("error ", 0), 0u) << check;
    EXPECT_NE(check.find("does not match"), std::string::npos) << check;
    EXPECT_EQ(keyOf(box.line()), "Key5 1 5");

    // An unfinished frame is reported once the line goes quiet.
    const auto frame = framedecoder::makeFrame(0x05);
    client.send(std::vector<uint8_t>(frame.begin(), frame.begin() + 12));
    const std::string cut = box.line();
    EXPECT_NE(cut.find("12 of 34"), std::string::npos) << cut;
}

TEST(BoxSim, LineSurvivesClientsComingAndGoing)
{
    BoxSim box({});
    const std::string path = box.line();
    {
        Client first(path);
        first.key(0x0B);
    }
    EXPECT_EQ(keyOf(box.line()), "KeyChanUp 2 -");
    {
        Client second(path);
        second.key(0x0B);
    }
    EXPECT_EQ(keyOf(box.line()), "KeyChanUp 3 -");
}

TEST(BoxSim, TimesCountFromTheBurstsFirstFrame)
{
    BoxSim box({"--burst-gap", "1000"});
    Client client(box.line());
    client.key(0x01);
    std::this_thread::sleep_for(300ms);
    client.key(0x02);
    std::this_thread::sleep_for(1500ms);  // a new burst
    client.key(0x03);

    const auto first = fields(box.line());
    const auto second = fields(box.line());
    const auto third = fields(box.line());
    ASSERT_EQ(first.size(), 6u);
    ASSERT_EQ(second.size(), 6u);
    ASSERT_EQ(third.size(), 6u);
    EXPECT_EQ(first[1], "0.0");
    EXPECT_GE(std::stod(second[1]), 290.0);
    EXPECT_EQ(third[1], "0.0");
    EXPECT_GE(std::stod(third[2]) - std::stod(first[2]), 1790.0);
}

TEST(BoxSim, ExitsAfterIdleOnceInputArrived)
{
    BoxSim box({"--exit-after-idle", "300", "--channel", "40"});
    Client client(box.line());
    std::this_thread::sleep_for(600ms);  // no input yet: still running
    client.key(0x0C);
    EXPECT_EQ(keyOf(box.line()), "KeyChanDown 39 -");
    EXPECT_EQ(box.line(), "end 39");
    EXPECT_EQ(box.waitExit(), 0);
}

TEST(BoxSim, RejectsBadArguments)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--channel"}, {"--channel", "x"}, {"--exit-after-idle", "-5"}, {"--bogus"}}) {
        BoxSim box(args);
        EXPECT_EQ(box.line(), "");
        EXPECT_EQ(box.waitExit(), 2);
    }
}
