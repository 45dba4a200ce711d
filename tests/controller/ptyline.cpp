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

std::vector<std::string> decodeStream(const Bytes &bytes)
{
    framedecoder::FrameDecoder decoder;
    std::vector<framedecoder::FrameResult> results = decoder.feed(bytes);
    for (framedecoder::FrameResult &r : decoder.flush())
        results.push_back(std::move(r));
    std::vector<std::string> keys;
    for (const framedecoder::FrameResult &r : results)
        keys.push_back(r.valid ? std::string(r.key.name) : "bad: " + r.error);
    return keys;
}

}  // namespace kovra::test
