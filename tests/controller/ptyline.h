// Test helpers: a pseudo-terminal standing in for the box's serial line,
// and the names of the key frames read on its master side.
#pragma once

#include "framedecoder.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kovra::test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

using framedecoder::crc16Kermit;

inline std::uint16_t crc16Kermit(const Bytes &data)
{
    return crc16Kermit(data.data(), data.size());
}

// A pty pair; the test keeps the slave open too, so that the master never
// sees a hang-up between runs. Both ends are close-on-exec.
class PtyLine {
public:
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    const std::string &slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // Reads what the master has within `wait`, appending arrivals.
    void readFor(std::chrono::milliseconds wait);
    // Writes to the master (towards the program's port); writeSomeToPort
    // takes what fits now and says how much that was.
    void writeToPort(const Bytes &bytes);
    std::size_t writeSomeToPort(const std::uint8_t *data, std::size_t size);

    struct Arrival {
        Clock::time_point time;
        std::size_t offset;  // of its first byte in `received`
        std::size_t size;
    };
    Bytes received;
    std::vector<Arrival> arrivals;

    // Arrival time of the byte at `offset`.
    Clock::time_point timeOfByte(std::size_t offset) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Names each frame of `bytes` ("Key5", "KeyEnter", ...); anything that is
// not a whole, valid frame gives "bad: <why>".
std::vector<std::string> decodeStream(const Bytes &bytes);

}  // namespace kovra::test
