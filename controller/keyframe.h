// The 34-byte key frame and the 13 keys the program can press.
//
// A frame is a leading 0x00 and three DLE-framed messages; the last one
// carries the key code at position 29 and its check value at 30-31. The
// check values are constants (CRC-16/KERMIT over type, length and payload,
// sent high byte first); the tests recompute every one of them.
#pragma once

#include <QtGlobal>

#include <array>
#include <cstddef>

namespace kovra {

constexpr std::size_t kKeyFrameSize = 34;

using KeyFrame = std::array<quint8, kKeyFrameSize>;
// Position 0 is unused; 1 is the key code, 2-3 the check value (high, low).
using KeyEntry = std::array<quint8, 4>;

// Frame positions 1..28 and 32..33; 0 and 29..31 stay 0x00 until a key loads.
constexpr std::array<quint8, 28> kFrameHead = {
    0x10, 0x70, 0x00, 0x02, 0x03, 0x40, 0xC8, 0x27, 0x10, 0x03,        // 1-10
    0x10, 0x78, 0x00, 0x03, 0x03, 0x40, 0x00, 0x68, 0x96, 0x10, 0x03,  // 11-21
    0x10, 0x78, 0x00, 0x04, 0x10, 0x40, 0x22,                          // 22-28
};
constexpr std::array<quint8, 2> kFrameTail = {0x10, 0x03};  // 32-33

struct KeyRow {
    const char *name;
    quint8 code;
    quint8 checkHigh;
    quint8 checkLow;
};

// In the order the key table is filled.
constexpr std::array<KeyRow, 13> kKeyRows = {{
    {"Key1", 0x01, 0x26, 0x6D},
    {"Key2", 0x02, 0x14, 0xF6},
    {"Key3", 0x03, 0x05, 0x7F},
    {"Key4", 0x04, 0x71, 0xC0},
    {"Key5", 0x05, 0x60, 0x49},
    {"Key6", 0x06, 0x52, 0xD2},
    {"Key7", 0x07, 0x43, 0x5B},
    {"Key8", 0x08, 0xBB, 0xAC},
    {"Key9", 0x09, 0xAA, 0x25},
    {"Key0", 0x00, 0x37, 0xE4},
    {"KeyChanUp", 0x0B, 0x89, 0x37},
    {"KeyChanDown", 0x0C, 0xFD, 0x88},
    {"KeyEnter", 0x11, 0x36, 0xEC},
}};

// Fills the constant positions of the frame; the key positions stay 0x00.
void SetUpKeyFrame(KeyFrame &frame);

KeyEntry MakeKeyEntry(const KeyRow &row);

// Copies the entry's code and check value into positions 29..31.
void GetChannel(KeyFrame &frame, const KeyEntry &channel);

}  // namespace kovra
