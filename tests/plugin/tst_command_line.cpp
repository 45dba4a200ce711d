// From the configuration value to the program's words: reading the template,
// putting the channel in, splitting into words.
#include "macrotune.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using quillet::lineSize;
using quillet::maxWords;

// ---- Putting the channel in ----

struct BuildCase {
    const char *name;
    std::string templateText;
    int32_t channel;
    std::optional<std::string> line;  // nullopt: refused
};

void PrintTo(const BuildCase &c, std::ostream *out) { *out << c.name; }

class BuildCommandLineTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildCommandLineTest, ReplacesTheFirstToken)
{
    char line[lineSize];
    const bool built = quillet::BuildCommandLine(GetParam().templateText.c_str(), GetParam().channel, line);
    ASSERT_EQ(built, GetParam().line.has_value());
    if (built) {
        EXPECT_EQ(std::string(line), *GetParam().line);
    }
}

const std::string pad500(500, 'x');  // with " %CHANNEL%" and one more: 511

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildCommandLineTest,
    ::testing::Values(
        BuildCase{"ProgramAndToken", "kovra %CHANNEL%", 705, "kovra 705"},
        BuildCase{"TokenAlone", "%CHANNEL%", 705, "705"},
        BuildCase{"Zero", "kovra %CHANNEL%", 0, "kovra 0"},
        BuildCase{"Negative", "kovra %CHANNEL%", -42, "kovra -42"},
        BuildCase{"Lowest", "kovra %CHANNEL%", INT32_MIN, "kovra -2147483648"},
        BuildCase{"Highest", "kovra %CHANNEL%", INT32_MAX, "kovra 2147483647"},
        BuildCase{"BothSidesKept", "a \"b%CHANNEL%c\" 'd'", 705, "a \"b705c\" 'd'"},
        BuildCase{"OnlyFirstOfTwo", "k %CHANNEL% %CHANNEL%", 7, "k 7 %CHANNEL%"},
        BuildCase{"LowerCaseIsNoToken", "kovra %channel%", 705, std::nullopt},
        BuildCase{"MixedCaseIsNoToken", "kovra %Channel%", 705, std::nullopt},
        BuildCase{"Empty", "", 705, std::nullopt},
        BuildCase{"PartialToken", "kovra %CHANNEL", 705, std::nullopt},
        // 511-character template: the line fits with a short channel...
        BuildCase{"LongTemplateShortChannel", pad500 + " %CHANNEL%", 1, pad500 + " 1"},
        BuildCase{"ExactlyFits", pad500 + " %CHANNEL%", 1234567890, pad500 + " 1234567890"},
        // ...and is refused, not cut off, when it would need more.
        BuildCase{"OneTooLong", "y" + pad500 + " %CHANNEL%", 1234567890, std::nullopt},
        BuildCase{"LowestTooLong", pad500 + " %CHANNEL%", INT32_MIN, std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Splitting into words ----

struct SplitCase {
    const char *name;
    std::string line;
    std::optional<std::vector<std::string>> words;  // nullopt: refused
};

void PrintTo(const SplitCase &c, std::ostream *out) { *out << c.name; }

class SplitWordsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitWordsTest, SplitsLikeAShellWithoutExpansion)
{
    char storage[lineSize];
    char *words[maxWords + 1];
    const int count = quillet::SplitWords(GetParam().line.c_str(), storage, words);
    if (!GetParam().words) {
        EXPECT_EQ(count, -1);
        return;
    }
    ASSERT_GE(count, 0);
    std::vector<std::string> got(words, words + count);
    EXPECT_EQ(got, *GetParam().words);
    EXPECT_EQ(words[count], nullptr);
}

using Words = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitWordsTest,
    ::testing::Values(
        SplitCase{"Plain", "kovra 705", Words{"kovra", "705"}},
        SplitCase{"BlanksAndTabs", "  kovra \t  705\t", Words{"kovra", "705"}},
        SplitCase{"TrailingLineEnd", "kovra 705\n", Words{"kovra", "705"}},
        SplitCase{"Empty", "", Words{}},
        SplitCase{"OnlyBlanks", " \t\n", Words{}},
        SplitCase{"SingleQuotesKeepEverything", R"('a  b' '$HOME' '\n' '"')", Words{"a  b", "$HOME", "\\n", "\""}},
        SplitCase{"DoubleQuotesKeepBlanks", R"("a  b" "it's")", Words{"a  b", "it's"}},
        SplitCase{"DoubleQuotesBackslash", R"("a\"b" "c\\d" "e\$f" "g\`h" "i\j")", Words{"a\"b", "c\\d", "e$f", "g`h", "i\\j"}},
        SplitCase{"NoExpansion", "$HOME ~ *.txt `date` $(date)", Words{"$HOME", "~", "*.txt", "`date`", "$(date)"}},
        SplitCase{"BackslashQuotesNextCharacter", R"(a\ b \'c \\ \")", Words{"a b", "'c", "\\", "\""}},
        SplitCase{"QuotesJoinIntoOneWord", R"(pre'mid dle'"post x"end)", Words{"premid dlepost xend"}},
        SplitCase{"EmptyQuotesGiveEmptyWord", R"(kovra '' "")", Words{"kovra", "", ""}},
        SplitCase{"BackslashNewlineJoins", "ko\\\nvra \\\n 705", Words{"kovra", "705"}},
        SplitCase{"OperatorsAreOrdinary", "kovra 705 > log; x|y", Words{"kovra", "705", ">", "log;", "x|y"}},
        SplitCase{"UnterminatedSingleQuote", "kovra '705", std::nullopt},
        SplitCase{"UnterminatedDoubleQuote", "kovra \"705", std::nullopt},
        SplitCase{"TrailingBackslash", "kovra 705\\", std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SplitWordsLimits, LongestLineOfOneCharacterWords)
{
    std::string line;
    for (size_t i = 0; i < maxWords; ++i)
        line += i ? " a" : "a";
    ASSERT_EQ(line.size(), lineSize - 1);
    char storage[lineSize];
    char *words[maxWords + 1];
    EXPECT_EQ(quillet::SplitWords(line.c_str(), storage, words), static_cast<int>(maxWords));
    EXPECT_STREQ(words[maxWords - 1], "a");
}

// ---- Reading the value "command" ----

class ReadTemplateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quillet-read-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
        key = open(pattern, O_RDONLY | O_DIRECTORY);
        ASSERT_GE(key, 0);
    }
    void TearDown() override
    {
        close(key);
        fs::remove_all(directory);
    }
    void WriteValue(const std::string &bytes)
    {
        std::ofstream(directory / "command", std::ios::binary) << bytes;
    }
    std::optional<std::string> Read()
    {
        char text[lineSize];
        if (!quillet::ReadCommandTemplate(key, text))
            return std::nullopt;
        return std::string(text);
    }
    fs::path directory;
    int key = -1;
};

TEST_F(ReadTemplateTest, MissingValueCantBeRead) { EXPECT_EQ(Read(), std::nullopt); }

TEST_F(ReadTemplateTest, TextUpToTheFirstZeroByte)
{
    WriteValue(std::string("kovra %CHANNEL%\0rest", 20));
    EXPECT_EQ(Read(), "kovra %CHANNEL%");
}

TEST_F(ReadTemplateTest, EmptyValueIsEmptyText)
{
    WriteValue("");
    EXPECT_EQ(Read(), "");
}

TEST_F(ReadTemplateTest, FiveHundredElevenAndTwelveBytes)
{
    const std::string chars511(511, 'k');
    WriteValue(chars511);
    EXPECT_EQ(Read(), chars511);
    WriteValue(chars511 + std::string(1, '\0'));  // 512 bytes with the terminator
    EXPECT_EQ(Read(), chars511);
    WriteValue(chars511 + "\n");  // 512 bytes before any zero byte
    EXPECT_EQ(Read(), std::nullopt);
    WriteValue(std::string(4096, 'k'));
    EXPECT_EQ(Read(), std::nullopt);
}

TEST_F(ReadTemplateTest, DirectoryOrFifoIsNoValue)
{
    fs::create_directory(directory / "command");
    EXPECT_EQ(Read(), std::nullopt);
    fs::remove(directory / "command");
    ASSERT_EQ(mkfifo((directory / "command").c_str(), 0600), 0);
    EXPECT_EQ(Read(), std::nullopt);  // and does not block waiting for a writer
}

}  // namespace
