#include "framedecoder.h"

#include <algorithm>
#include <cstdio>

namespace framedecoder {

namespace {

// The fixed bytes of a frame; positions 29-31 (key code and its check) vary.
constexpr uint8_t kTemplate[kFrameSize] = {
    0x00,                                                        // leading byte
    0x10, 0x70, 0x00, 0x02, 0x03, 0x40, 0xC8, 0x27, 0x10, 0x03,  // first message
    0x10, 0x78, 0x00, 0x03, 0x03, 0x40, 0x00, 0x68, 0x96, 0x10, 0x03,  // second
    0x10, 0x78, 0x00, 0x04, 0x10, 0x40, 0x22, 0x00, 0x00, 0x00, 0x10, 0x03,  // key
};

bool isVariable(std::size_t position)
{
    return position >= 29 && position <= 31;
}

const char *positionName(std::size_t p)
{
    static const char *const names[kFrameSize] = {
        "leading byte",
        "first message DLE", "first message type", "first message length high",
        "first message length low", "first message payload 1", "first message payload 2",
        "first message check high", "first message check low", "first message DLE",
        "first message ETX",
        "second message DLE", "second message type", "second message length high",
        "second message length low", "second message payload 1", "second message payload 2",
        "second message payload 3", "second message check high", "second message check low",
        "second message DLE", "second message ETX",
        "key message DLE", "key message type", "key message length high",
        "key message length low", "key message payload 1", "key message payload 2",
        "key message payload 3", "key code", "key message check high",
        "key message check low", "key message DLE", "key message ETX",
    };
    return names[p];
}

std::string hex2(unsigned value, int digits)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Index of the first fixed byte of `data` that differs from the template,
// or `size` when all present bytes fit.
std::size_t firstMismatch(const uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i < size && i < kFrameSize; ++i)
        if (!isVariable(i) && data[i] != kTemplate[i])
            return i;
    return size;
}

// Where in `buffer`, from `from` on, the next frame could begin: the first
// place that starts with the frame's first message head (00 10 70 00 02), or
// with as much of it as the buffer holds.
std::size_t nextFrameStart(const std::vector<uint8_t> &buffer, std::size_t from)
{
    constexpr std::size_t kHead = 5;
    for (std::size_t i = from; i < buffer.size(); ++i) {
        const std::size_t n = std::min(buffer.size() - i, kHead);
        if (firstMismatch(buffer.data() + i, n) == n)
            return i;
    }
    return buffer.size();
}

FrameResult rejected(const uint8_t *data, std::size_t size, std::string error)
{
    FrameResult r;
    r.error = std::move(error);
    r.bytes.assign(data, data + size);
    return r;
}

}  // namespace

uint16_t crc16Kermit(const uint8_t *data, std::size_t size)
{
    uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
    }
    return crc;
}

const char *keyName(uint8_t code)
{
    static const char *const digits[] = {"Key0", "Key1", "Key2", "Key3", "Key4",
                                         "Key5", "Key6", "Key7", "Key8", "Key9"};
    if (code <= 9)
        return digits[code];
    switch (code) {
    case 0x0B: return "KeyChanUp";
    case 0x0C: return "KeyChanDown";
    case 0x11: return "KeyEnter";
    default: return nullptr;
    }
}

std::vector<uint8_t> makeFrame(uint8_t code)
{
    std::vector<uint8_t> frame(kTemplate, kTemplate + kFrameSize);
    frame[kKeyCodePosition] = code;
    const uint16_t check = crc16Kermit(frame.data() + 23, 7);
    frame[30] = uint8_t(check >> 8);
    frame[31] = uint8_t(check & 0xFF);
    return frame;
}

std::string hexBytes(const uint8_t *data, std::size_t size)
{
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", data[i]);
        text += byte;
    }
    return text;
}

FrameResult decodeFrame(const uint8_t *frame, std::size_t size)
{
    if (size != kFrameSize)
        return rejected(frame, size, "frame of " + std::to_string(size) + " bytes, expected 34");
    const std::size_t bad = firstMismatch(frame, size);
    if (bad != size)
        return rejected(frame, size,
                        "byte " + std::to_string(bad) + " (" + positionName(bad) + ") is "
                            + hex2(frame[bad], 2) + ", expected " + hex2(kTemplate[bad], 2));
    // Type, length and payload of the key message: positions 23..29.
    const uint16_t computed = crc16Kermit(frame + 23, 7);
    const uint16_t sent = uint16_t(frame[30] << 8 | frame[31]);
    if (computed != sent)
        return rejected(frame, size,
                        "key message check " + hex2(sent, 4) + " does not match its CRC-16/KERMIT "
                            + hex2(computed, 4));
    const uint8_t code = frame[kKeyCodePosition];
    if (!keyName(code))
        return rejected(frame, size, "unknown key code " + hex2(code, 2));
    FrameResult r;
    r.valid = true;
    r.key = {code, keyName(code)};
    r.bytes.assign(frame, frame + size);
    return r;
}

std::vector<FrameResult> FrameDecoder::feed(const uint8_t *data, std::size_t size)
{
    buffer_.insert(buffer_.end(), data, data + size);
    std::vector<FrameResult> results;
    while (!buffer_.empty()) {
        const std::size_t start = nextFrameStart(buffer_, 0);
        if (start > 0) {
            results.push_back(rejected(buffer_.data(), start,
                                       std::to_string(start) + " byte(s) that begin no frame"));
            buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start));
            continue;
        }
        const std::size_t present = std::min(buffer_.size(), kFrameSize);
        const std::size_t bad = firstMismatch(buffer_.data(), present);
        if (bad < present) {
            // A broken frame: reject it up to where the next one could begin
            // (which may lie before `bad` when the frame was cut short).
            const std::size_t next = nextFrameStart(buffer_, 1);
            FrameResult r = rejected(buffer_.data(), next,
                                     "broken frame: byte " + std::to_string(bad) + " ("
                                         + positionName(bad) + ") is " + hex2(buffer_[bad], 2)
                                         + ", expected " + hex2(kTemplate[bad], 2));
            results.push_back(std::move(r));
            buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(next));
            continue;
        }
        if (buffer_.size() < kFrameSize)
            break;  // a frame so far: wait for the rest
        results.push_back(decodeFrame(buffer_.data(), kFrameSize));
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(kFrameSize));
    }
    return results;
}

std::vector<FrameResult> FrameDecoder::flush()
{
    std::vector<FrameResult> results;
    if (!buffer_.empty()) {
        results.push_back(rejected(buffer_.data(), buffer_.size(),
                                   "frame cut short after " + std::to_string(buffer_.size())
                                       + " of 34 bytes"));
        buffer_.clear();
    }
    return results;
}

}  // namespace framedecoder
