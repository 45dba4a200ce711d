// The key frame and the key table, byte for byte.
#include "keyframe.h"
#include "ptyline.h"

#include <gtest/gtest.h>

using namespace kovra;
using kovra::test::Bytes;
using kovra::test::crc16Kermit;

namespace {

const KeyRow &row(const std::string &name)
{
    for (const KeyRow &r : kKeyRows)
        if (name == r.name)
            return r;
    throw std::invalid_argument(name);
}

KeyFrame frameWith(const std::string &key)
{
    KeyFrame frame{};
    SetUpKeyFrame(frame);
    GetChannel(frame, MakeKeyEntry(row(key)));
    return frame;
}

Bytes bytesOf(const KeyFrame &frame)
{
    return Bytes(frame.begin(), frame.end());
}

}  // namespace

TEST(KeyFrame, Key5FrameIsExactlyTheseBytes)
{
    const Bytes expected = {0x00, 0x10, 0x70, 0x00, 0x02, 0x03, 0x40, 0xC8, 0x27, 0x10, 0x03, 0x10,
                            0x78, 0x00, 0x03, 0x03, 0x40, 0x00, 0x68, 0x96, 0x10, 0x03, 0x10, 0x78,
                            0x00, 0x04, 0x10, 0x40, 0x22, 0x05, 0x60, 0x49, 0x10, 0x03};
    EXPECT_EQ(bytesOf(frameWith("Key5")), expected);
}

TEST(KeyFrame, KeyPositionsAreZeroUntilAKeyIsLoaded)
{
    KeyFrame frame;
    frame.fill(0xEE);
    frame[0] = frame[29] = frame[30] = frame[31] = 0x00;
    SetUpKeyFrame(frame);
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[29], 0x00);
    EXPECT_EQ(frame[30], 0x00);
    EXPECT_EQ(frame[31], 0x00);
    EXPECT_EQ(frame[26], 0x10) << "the DLE-valued payload byte is there once, not doubled";
}

TEST(KeyFrame, FramesDifferOnlyInTheKeyPositions)
{
    const KeyFrame enter = frameWith("KeyEnter");
    const KeyFrame up = frameWith("KeyChanUp");
    for (std::size_t i = 0; i < kKeyFrameSize; ++i) {
        if (i < 29 || i > 31) {
            EXPECT_EQ(enter[i], up[i]) << "position " << i;
        }
    }
    EXPECT_EQ(Bytes(enter.begin() + 29, enter.begin() + 32), (Bytes{0x11, 0x36, 0xEC}));
    EXPECT_EQ(Bytes(up.begin() + 29, up.begin() + 32), (Bytes{0x0B, 0x89, 0x37}));
}

TEST(KeyFrame, LoadingAKeyReplacesThePreviousOne)
{
    KeyFrame frame{};
    SetUpKeyFrame(frame);
    GetChannel(frame, MakeKeyEntry(row("Key1")));
    GetChannel(frame, MakeKeyEntry(row("Key9")));
    EXPECT_EQ(bytesOf(frame), bytesOf(frameWith("Key9")));
    GetChannel(frame, MakeKeyEntry(row("KeyChanDown")));
    EXPECT_EQ(bytesOf(frame), bytesOf(frameWith("KeyChanDown")));
}

TEST(KeyFrame, Key0HasCodeZero)
{
    EXPECT_EQ(row("Key0").code, 0x00);
}

TEST(KeyFrame, FixedMessagesCarryTheirCheckValues)
{
    EXPECT_EQ(crc16Kermit(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x2189);
    const KeyFrame f = frameWith("Key1");
    EXPECT_EQ(crc16Kermit(Bytes(f.begin() + 2, f.begin() + 7)), f[7] << 8 | f[8]);
    EXPECT_EQ(crc16Kermit(Bytes(f.begin() + 12, f.begin() + 18)), f[18] << 8 | f[19]);
    EXPECT_EQ(f[7] << 8 | f[8], 0xC827);
    EXPECT_EQ(f[18] << 8 | f[19], 0x6896);
}

class KeyRowCheck : public testing::TestWithParam<KeyRow> {};

TEST_P(KeyRowCheck, CheckValueIsCrc16KermitOfTheKeyMessage)
{
    const KeyRow r = GetParam();
    const Bytes message = {0x78, 0x00, 0x04, 0x10, 0x40, 0x22, r.code};
    EXPECT_EQ(crc16Kermit(message), r.checkHigh << 8 | r.checkLow);
    const KeyFrame frame = frameWith(r.name);
    EXPECT_EQ(crc16Kermit(Bytes(frame.begin() + 23, frame.begin() + 30)), frame[30] << 8 | frame[31]);
}

INSTANTIATE_TEST_SUITE_P(AllKeys, KeyRowCheck, testing::ValuesIn(kKeyRows),
                         [](const testing::TestParamInfo<KeyRow> &info) { return std::string(info.param.name); });
