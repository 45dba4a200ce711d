// The frame decoder: CRC-16/KERMIT, whole frames, and a stream in pieces.
#include "framedecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace framedecoder;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back(uint8_t(v));
    return out;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<uint8_t> kKey5 = bytes({
    0x00, 0x10, 0x70, 0x00, 0x02, 0x03, 0x40, 0xC8, 0x27, 0x10, 0x03, 0x10, 0x78, 0x00, 0x03, 0x03, 0x40,
    0x00, 0x68, 0x96, 0x10, 0x03, 0x10, 0x78, 0x00, 0x04, 0x10, 0x40, 0x22, 0x05, 0x60, 0x49, 0x10, 0x03});

}  // namespace

TEST(Crc16Kermit, StandardCheckValueAndFixedMessages)
{
    const std::string digits = "123456789";
    EXPECT_EQ(crc16Kermit(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()), 0x2189);
    const auto first = bytes({0x70, 0x00, 0x02, 0x03, 0x40});
    EXPECT_EQ(crc16Kermit(first.data(), first.size()), 0xC827);
    const auto second = bytes({0x78, 0x00, 0x03, 0x03, 0x40, 0x00});
    EXPECT_EQ(crc16Kermit(second.data(), second.size()), 0x6896);
    EXPECT_EQ(crc16Kermit(nullptr, 0), 0x0000);
}

struct KeyRow {
    uint8_t code;
    const char *name;
    uint16_t check;  // from the key table kovra holds
};

class EveryKey : public ::testing::TestWithParam<KeyRow> {};

TEST_P(EveryKey, FrameCarriesTableCheckAndDecodesToItsName)
{
    const KeyRow row = GetParam();
    const std::vector<uint8_t> frame = makeFrame(row.code);
    ASSERT_EQ(frame.size(), kFrameSize);
    EXPECT_EQ(frame[30] << 8 | frame[31], row.check);

    const FrameResult r = decodeFrame(frame.data(), frame.size());
    ASSERT_TRUE(r.valid) << r.error;
    EXPECT_EQ(r.key.code, row.code);
    EXPECT_STREQ(r.key.name, row.name);
    EXPECT_STREQ(keyName(row.code), row.name);
}

INSTANTIATE_TEST_SUITE_P(KeyTable, EveryKey,
                         ::testing::Values(KeyRow{0x01, "Key1", 0x266D}, KeyRow{0x02, "Key2", 0x14F6},
                                           KeyRow{0x03, "Key3", 0x057F}, KeyRow{0x04, "Key4", 0x71C0},
                                           KeyRow{0x05, "Key5", 0x6049}, KeyRow{0x06, "Key6", 0x52D2},
                                           KeyRow{0x07, "Key7", 0x435B}, KeyRow{0x08, "Key8", 0xBBAC},
                                           KeyRow{0x09, "Key9", 0xAA25}, KeyRow{0x00, "Key0", 0x37E4},
                                           KeyRow{0x0B, "KeyChanUp", 0x8937},
                                           KeyRow{0x0C, "KeyChanDown", 0xFD88},
                                           KeyRow{0x11, "KeyEnter", 0x36EC}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(DecodeFrame, Key5ByteForByte)
{
    EXPECT_EQ(makeFrame(0x05), kKey5);
    const FrameResult r = decodeFrame(kKey5.data(), kKey5.size());
    ASSERT_TRUE(r.valid) << r.error;
    EXPECT_STREQ(r.key.name, "Key5");
    EXPECT_EQ(r.bytes, kKey5);
}

struct Corruption {
    const char *what;
    std::size_t position;
    uint8_t value;
    const char *errorMentions;
};

class CorruptFrame : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptFrame, IsRejectedWithReason)
{
    const Corruption c = GetParam();
    std::vector<uint8_t> frame = kKey5;
    frame[c.position] = c.value;
    const FrameResult r = decodeFrame(frame.data(), frame.size());
    EXPECT_FALSE(r.valid);
    EXPECT_NE(r.error.find(c.errorMentions), std::string::npos) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, CorruptFrame,
    ::testing::Values(
        Corruption{"LeadingByte", 0, 0x01, "leading byte"},
        Corruption{"FirstType", 2, 0x78, "first message type"},
        Corruption{"FirstLength", 4, 0x03, "first message length low"},
        Corruption{"FirstCheck", 8, 0x28, "first message check low"},
        Corruption{"SecondPayload", 17, 0x01, "second message payload 3"},
        Corruption{"SecondEtx", 21, 0x04, "second message ETX"},
        Corruption{"KeyLength", 25, 0x05, "key message length low"},
        Corruption{"KeyCheckHigh", 30, 0x61, "does not match"},
        Corruption{"KeyCheckLow", 31, 0x48, "does not match"},
        Corruption{"KeyCodeWithStaleCheck", 29, 0x06, "does not match"},
        Corruption{"FinalDle", 32, 0x11, "key message DLE"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(DecodeFrame, WrongSizeAndUnknownKey)
{
    EXPECT_FALSE(decodeFrame(kKey5.data(), 33).valid);
    const std::vector<uint8_t> longer = concat(kKey5, bytes({0x00}));
    const FrameResult tooLong = decodeFrame(longer.data(), longer.size());
    EXPECT_FALSE(tooLong.valid);
    EXPECT_NE(tooLong.error.find("35 bytes"), std::string::npos) << tooLong.error;

    // Correct check, but 0x0A is no key (Key0 is 0x00).
    const std::vector<uint8_t> lineFeed = makeFrame(0x0A);
    const FrameResult r = decodeFrame(lineFeed.data(), lineFeed.size());
    EXPECT_FALSE(r.valid);
    EXPECT_NE(r.error.find("unknown key code 0x0A"), std::string::npos) << r.error;
    EXPECT_EQ(keyName(0x0A), nullptr);
}

TEST(FrameDecoder, StreamInEveryPossibleSplit)
{
    const std::vector<uint8_t> stream = concat(concat(makeFrame(0x01), makeFrame(0x00)), makeFrame(0x11));
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameDecoder decoder;
        auto results = decoder.feed(stream.data(), cut);
        const auto rest = decoder.feed(stream.data() + cut, stream.size() - cut);
        results.insert(results.end(), rest.begin(), rest.end());
        ASSERT_EQ(results.size(), 3u) << "cut at " << cut;
        EXPECT_STREQ(results[0].key.name, "Key1");
        EXPECT_STREQ(results[1].key.name, "Key0");
        EXPECT_STREQ(results[2].key.name, "KeyEnter");
        EXPECT_EQ(decoder.pending(), 0u);
    }
}

TEST(FrameDecoder, ByteByByte)
{
    FrameDecoder decoder;
    std::vector<FrameResult> results;
    for (uint8_t b : kKey5) {
        EXPECT_TRUE(results.empty());
        const auto r = decoder.feed(&b, 1);
        results.insert(results.end(), r.begin(), r.end());
    }
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].valid);
}

TEST(FrameDecoder, StrayBytesAreReportedAndTheNextFrameStillDecodes)
{
    FrameDecoder decoder;
    const auto results = decoder.feed(concat(bytes({0x0A, 0x13, 0xFF}), kKey5));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[0].valid);
    EXPECT_EQ(results[0].bytes, bytes({0x0A, 0x13, 0xFF}));
    EXPECT_TRUE(results[1].valid);
}

TEST(FrameDecoder, TruncatedFrameFollowedByGoodFrameIsOneError)
{
    // The first frame lost its last 10 bytes; the next frame begins where
    // they should have been.
    const std::vector<uint8_t> cut(kKey5.begin(), kKey5.begin() + 24);
    FrameDecoder decoder;
    const auto results = decoder.feed(concat(cut, makeFrame(0x11)));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[0].valid);
    EXPECT_EQ(results[0].bytes, cut);
    EXPECT_NE(results[0].error.find("broken frame"), std::string::npos) << results[0].error;
    ASSERT_TRUE(results[1].valid) << results[1].error;
    EXPECT_STREQ(results[1].key.name, "KeyEnter");
}

TEST(FrameDecoder, WrongLengthFieldAndBadCheckInAStream)
{
    std::vector<uint8_t> wrongLength = kKey5;
    wrongLength[25] = 0x05;  // key message claims 5 payload bytes
    std::vector<uint8_t> badCheck = kKey5;
    badCheck[31] ^= 0x01;

    FrameDecoder decoder;
    const auto results = decoder.feed(concat(concat(wrongLength, badCheck), makeFrame(0x0B)));
    ASSERT_EQ(results.size(), 3u);
    EXPECT_FALSE(results[0].valid);
    EXPECT_NE(results[0].error.find("key message length low"), std::string::npos) << results[0].error;
    EXPECT_FALSE(results[1].valid);
    EXPECT_NE(results[1].error.find("does not match"), std::string::npos) << results[1].error;
    EXPECT_EQ(results[1].bytes, badCheck);
    ASSERT_TRUE(results[2].valid);
    EXPECT_STREQ(results[2].key.name, "KeyChanUp");
}

TEST(FrameDecoder, DoubledDleIsRejected)
{
    // A sender that escapes the payload's 0x10 would send it twice.
    std::vector<uint8_t> doubled = kKey5;
    doubled.insert(doubled.begin() + 26, 0x10);
    FrameDecoder decoder;
    const auto results = decoder.feed(doubled);
    ASSERT_FALSE(results.empty());
    EXPECT_FALSE(results[0].valid);
    for (const FrameResult &r : results)
        EXPECT_FALSE(r.valid);
}

TEST(FrameDecoder, FlushReportsAnUnfinishedFrame)
{
    FrameDecoder decoder;
    EXPECT_TRUE(decoder.feed(kKey5.data(), 20).empty());
    EXPECT_EQ(decoder.pending(), 20u);
    const auto results = decoder.flush();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].valid);
    EXPECT_NE(results[0].error.find("20 of 34"), std::string::npos) << results[0].error;
    EXPECT_EQ(decoder.pending(), 0u);
    EXPECT_TRUE(decoder.flush().empty());
}
