#include "ptyline.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace kovra::test {

PtyLine::PtyLine()
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("posix_openpt failed");
    slavePath_ = ::ptsname(master_);
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0)
        throw std::runtime_error("cannot open " + slavePath_);
    // Raw from the start, so nothing the test writes is echoed back.
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyLine::~PtyLine()
{
    ::close(slave_);
    ::close(master_);
}

void PtyLine::readFor(std::chrono::milliseconds wait)
{
    const auto deadline = Clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0)
            continue;
        std::array<std::uint8_t, 4096> chunk;
        const ssize_t n = ::read(master_, chunk.data(), chunk.size());
        if (n > 0) {
            arrivals.push_back({Clock::now(), received.size(), std::size_t(n)});
            received.insert(received.end(), chunk.begin(), chunk.begin() + n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
    }
}

void PtyLine::writeToPort(const Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (errno == EAGAIN)
            ::usleep(1000);
        else if (errno != EINTR)
            throw std::runtime_error("write to pty master failed");
    }
}

std::size_t PtyLine::writeSomeToPort(const std::uint8_t *data, std::size_t size)
{
    const ssize_t n = ::write(master_, data, size);
    return n > 0 ? std::size_t(n) : 0;
}

Clock::time_point PtyLine::timeOfByte(std::size_t offset) const
{
    for (const Arrival &a : arrivals)
        if (offset >= a.offset && offset < a.offset + a.size)
            return a.time;
    return {};
}

namespace {

struct Message {
    std::size_t at;
    std::uint8_t type;
    std::size_t length;
};

constexpr Message kMessages[] = {{1, 0x70, 2}, {11, 0x78, 3}, {22, 0x78, 4}};

const char *keyName(std::uint8_t code)
{
    switch (code) {
    case 0x00: return "Key0";
    case 0x01: return "Key1";
    case 0x02: return "Key2";
    case 0x03: return "Key3";
    case 0x04: return "Key4";
    case 0x05: return "Key5";
    case 0x06: return "Key6";
    case 0x07: return "Key7";
    case 0x08: return "Key8";
    case 0x09: return "Key9";
    case 0x0B: return "KeyChanUp";
    case 0x0C: return "KeyChanDown";
    case 0x11: return "KeyEnter";
    default: return nullptr;
    }
}

}  // namespace

DecodedFrame decodeFrame(const std::uint8_t *f)
{
    if (f[0] != 0x00)
        return {std::nullopt, "leading byte not 0x00"};
    for (const Message &m : kMessages) {
        const std::uint8_t *msg = f + m.at;
        const std::string where = "message at " + std::to_string(m.at) + ": ";
        if (msg[0] != 0x10 || msg[1] != m.type)
            return {std::nullopt, where + "bad DLE or type"};
        if (std::size_t(msg[2] << 8 | msg[3]) != m.length)
            return {std::nullopt, where + "bad length"};
        const std::uint16_t check = std::uint16_t(msg[4 + m.length] << 8 | msg[5 + m.length]);
        if (crc16Kermit(msg + 1, 3 + m.length) != check)
            return {std::nullopt, where + "bad check value"};
        if (msg[6 + m.length] != 0x10 || msg[7 + m.length] != 0x03)
            return {std::nullopt, where + "no DLE ETX"};
    }
    const Bytes first(f + 5, f + 7), second(f + 15, f + 18), key(f + 26, f + 29);
    if (first != Bytes{0x03, 0x40} || second != Bytes{0x03, 0x40, 0x00} || key != Bytes{0x10, 0x40, 0x22})
        return {std::nullopt, "unexpected payload"};
    const char *name = keyName(f[29]);
    if (!name)
        return {std::nullopt, "unknown key code " + std::to_string(f[29])};
    return {std::string(name), {}};
}

std::vector<std::string> decodeStream(const Bytes &bytes)
{
    std::vector<std::string> keys;
    std::size_t at = 0;
    for (; at + 34 <= bytes.size(); at += 34) {
        const DecodedFrame frame = decodeFrame(bytes.data() + at);
        keys.push_back(frame.key ? *frame.key : "bad: " + frame.fault);
    }
    if (at != bytes.size())
        keys.push_back("bad: " + std::to_string(bytes.size() - at) + " stray bytes");
    return keys;
}

}  // namespace kovra::test
