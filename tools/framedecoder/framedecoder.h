// Decoder for the 34-byte key frames that kovra sends to the set-top box.
//
// A frame is a 0x00 byte and three DLE-framed messages:
//   10 type lenHi lenLo payload... checkHi checkLo 10 03
// whose check is CRC-16/KERMIT over type, length and payload. The third
// message carries the key code. No byte is escaped or doubled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace framedecoder {

constexpr std::size_t kFrameSize = 34;
constexpr std::size_t kKeyCodePosition = 29;

// CRC-16/KERMIT: polynomial 0x1021 reflected, initial 0, no final XOR.
uint16_t crc16Kermit(const uint8_t *data, std::size_t size);

// "Key0".."Key9", "KeyChanUp", "KeyChanDown", "KeyEnter"; nullptr for any
// other code. The returned text is static.
const char *keyName(uint8_t code);

// The frame kovra sends for `code`, check value computed.
std::vector<uint8_t> makeFrame(uint8_t code);

struct DecodedKey {
    uint8_t code = 0;
    const char *name = nullptr;  // static text, never null in a valid result
};

// One thing found in the byte stream: a valid key frame, or bytes that are
// not one (with the reason).
struct FrameResult {
    bool valid = false;
    DecodedKey key;              // when valid
    std::string error;           // when not valid: what is wrong, first fault only
    std::vector<uint8_t> bytes;  // the frame, or the rejected bytes
};

// Checks one complete frame of exactly kFrameSize bytes.
FrameResult decodeFrame(const uint8_t *frame, std::size_t size);

// Splits a byte stream that may arrive in pieces into frames and rejected
// bytes. Bytes that cannot begin a frame are reported at once as one result;
// a started frame waits for its remaining bytes.
class FrameDecoder {
public:
    std::vector<FrameResult> feed(const uint8_t *data, std::size_t size);
    std::vector<FrameResult> feed(const std::vector<uint8_t> &data)
    {
        return feed(data.data(), data.size());
    }
    // Reports the bytes of an unfinished frame (e.g. when the line goes
    // quiet) and forgets them. Empty when nothing is pending.
    std::vector<FrameResult> flush();
    std::size_t pending() const { return buffer_.size(); }

private:
    std::vector<uint8_t> buffer_;
};

// "00 10 70 ..." (lower-case hex, blank separated).
std::string hexBytes(const uint8_t *data, std::size_t size);

}  // namespace framedecoder
