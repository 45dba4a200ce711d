// The remote file, in process: SaveRemotes and LoadRemotes against real files
// in a scratch directory. Built with AddressSanitizer and UBSan, so a leak, a
// double free or a read out of bounds fails the test that caused it.
#include "allocation.h"
#include "quillet.h"
#include "remotemodel.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Makes the records of `data` the way a host and the loader make them.
Remote *Build(const ListData &data)
{
    Remote *list = nullptr;
    for (const RemoteData &r : data) {
        Command *commands = nullptr;
        for (const CommandData &c : r.commands) {
            CodeBlock *first = nullptr;
            CodeBlock **tail = &first;
            for (const BlockData &b : c.blocks) {
                CodeBlock *block = quillet::AllocateCodeBlock();
                block->Number = b.number;
                block->Kind = b.kind;
                block->ByteCount = static_cast<uint32_t>(b.bytes.size());
                block->Bytes = static_cast<uint8_t *>(quillet::AllocateBytes(block->ByteCount));
                std::copy(b.bytes.begin(), b.bytes.end(), block->Bytes);
                block->Next = nullptr;
                *tail = block;
                tail = &block->Next;
            }
            AddCommand(CreateCommand(c.name ? quillet::DuplicateText(c.name->c_str()) : nullptr, first), &commands);
        }
        AddRemote(CreateRemote(r.name ? quillet::DuplicateText(r.name->c_str()) : nullptr, r.carrierFrequency,
                               r.bitRate, commands),
                  &list);
    }
    return list;
}

// Owns a loaded or built list for the length of a test.
struct List {
    explicit List(Remote *first = nullptr) : head(first) {}
    ~List() { FreeRemotes(&head); }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    Remote *head;
};

class RemoteFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tst_remotefile.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        quillet::CurrentQuitRequest() = {};
    }
    void TearDown() override
    {
        quillet::FailNextAllocations(0);
        fs::remove_all(dir);
    }
    std::string Path(const std::string &name) const { return (dir / name).string(); }
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string LoadDump(const std::string &bytes)
    {
        WriteWholeFile(Path("in.rmt"), bytes);
        List loaded(LoadRemotes(Path("in.rmt").c_str()));
        return Dump(loaded.head);
    }
    fs::path dir;
};

// ----------------------------------------------------------------- example --

TEST_F(RemoteFile, SavingTheExampleListWritesItsSevenLines)
{
    List list(Build(ExampleList()));
    EXPECT_EQ(SaveRemotes(list.head, Path("out.rmt").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(Path("out.rmt")), kExampleFile);
}

TEST_F(RemoteFile, LoadingTheSevenLinesGivesTheExampleList)
{
    EXPECT_EQ(LoadDump(kExampleFile), Dump(ExampleList()));
}

TEST_F(RemoteFile, LoadedBlocksOwnExactlyTheirBytes)
{
    WriteWholeFile(Path("in.rmt"), kExampleFile);
    List loaded(LoadRemotes(Path("in.rmt").c_str()));
    ASSERT_NE(loaded.head, nullptr);
    const CodeBlock *mute = loaded.head->Commands->Next->CodeBlocks;
    EXPECT_EQ(mute->ByteCount, 0u);
    EXPECT_NE(mute->Bytes, nullptr);  // an array of its own, even when empty
    EXPECT_EQ(loaded.head->Next->Commands, nullptr);
}

// --------------------------------------------------------------- loading --

struct LoadCase {
    const char *title;
    std::string file;
    ListData expected;
};

void PrintTo(const LoadCase &c, std::ostream *os) { *os << c.title; }

std::vector<uint8_t> CountingBytes(size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

std::string HexFields(const std::vector<uint8_t> &bytes)
{
    std::string out;
    for (uint8_t b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", b);
        out += hex;
    }
    return out;
}

std::vector<LoadCase> LoadCases()
{
    using namespace std::string_literals;
    const auto long300 = CountingBytes(300);
    return {
        {"EmptyFile", "", {}},
        {"RemoteWithoutCommands", "Amp 40000 600\n\n", {{"Amp", 40000, 600, {}}}},
        {"BlockOf300BytesOnOneLine",
         "R 1 2\nC 7 K" + HexFields(long300) + "\n 8 L" + HexFields(long300) + "\n\n",
         {{"R", 1, 2, {{"C", {{7, 'K', long300}, {8, 'L', long300}}}}}}},
        {"LastLineWithoutLineEnd", "R 1 2\nC 1 A 0c 40", {{"R", 1, 2, {{"C", {{1, 'A', {0x0c, 0x40}}}}}}}},
        {"HeaderAtEndWithoutLineEnd", "R 1 2\n\nAmp 40000 600", {{"R", 1, 2, {}}, {"Amp", 40000, 600, {}}}},
        {"NoClosingEmptyLine", "R 1 2\nC 1 A\n 2 B ff\n", {{"R", 1, 2, {{"C", {{1, 'A', {}}, {2, 'B', {0xff}}}}}}}},
        {"CommandWithOnlyAName", "R 1 2\nPower\nMute 1 A\n\n", {{"R", 1, 2, {{"Power", {}}, {"Mute", {{1, 'A', {}}}}}}}},
        {"BlankHeaderLinesAreSkipped", "\n  \n\t\nR 1 2\n\n\n \t \nS 3 4\n\n", {{"R", 1, 2, {}}, {"S", 3, 4, {}}}},
        {"BlankLineEndsTheRemote", "R 1 2\nC 1 A\n  \nS 3 4\n", {{"R", 1, 2, {{"C", {{1, 'A', {}}}}}}, {"S", 3, 4, {}}}},
        {"MissingNumbersAndKindReadAsZero", "R\nC 5\n 6\n\nS 9\n\n",
         {{"R", 0, 0, {{"C", {{5, 0, {}}, {6, 0, {}}}}}}, {"S", 9, 0, {}}}},
        {"UnscannableNumbersReadAsZero", "R x 12y\nC z Q zz 1g -\n\n",
         {{"R", 0, 12, {{"C", {{0, 'Q', {0x00, 0x01, 0x00}}}}}}}},
        {"UpperCaseHexDigits", "R 1 2\nC 1 A 0C FF Ab\n\n", {{"R", 1, 2, {{"C", {{1, 'A', {0x0c, 0xff, 0xab}}}}}}}},
        {"NumbersWrapAtTheFieldWidth", "R 4294967296 -1\nC 4294967297 A 100 1ff -1 0x1f +7\n\n",
         {{"R", 0, 4294967295u, {{"C", {{1, 'A', {0x00, 0xff, 0xff, 0x1f, 0x07}}}}}}}},
        {"KindIsTheFirstCharacterOfItsToken", "R 1 2\nC 1 Abc 01\n\n", {{"R", 1, 2, {{"C", {{1, 'A', {0x01}}}}}}}},
        {"TokensAfterTheThirdOnAHeaderAreIgnored", "R 1 2 3 4\n\n", {{"R", 1, 2, {}}}},
        {"TabsSeparateTokens", "R\t1\t\t2\nC\t1\tA\t0c\n\n", {{"R", 1, 2, {{"C", {{1, 'A', {0x0c}}}}}}}},
        {"LineBeginningWithATabIsNoContinuation", "R 1 2\nA 1 X\n\t2 Y 0c\n\n",
         {{"R", 1, 2, {{"A", {{1, 'X', {}}}}, {"2", {{0, '0', {}}}}}}}},
        {"CrLfLineEnds", "R 1 2\r\nC 1 A 0c\r\n 2 B\r\n\r\nS 3 4\r\n\r\n",
         {{"R", 1, 2, {{"C", {{1, 'A', {0x0c}}, {2, 'B', {}}}}}}, {"S", 3, 4, {}}}},
        {"NameEndsAtAZeroByte", "R\0x 1 2\n\n"s, {{"R", 1, 2, {}}}},
        // Outside the format's limits: read as the file's rules give it.
        {"RemoteNameOfTwoWords", "Two Words 38000 1200\n\n", {{"Two", 0, 38000, {}}}},
        {"BlankKindTakesTheFirstByteFieldsCharacter", "R 1 2\nC 1   0c 40\n\n", {{"R", 1, 2, {{"C", {{1, '0', {0x40}}}}}}}},
        {"EmptyCommandNameJoinsThePrecedingCommand", "R 1 2\nA 1 X\n 2 Y 0c\n\n",
         {{"R", 1, 2, {{"A", {{1, 'X', {}}, {2, 'Y', {0x0c}}}}}}}},
        {"EmptyRemoteNameShiftsTheNumbers", " 38000 1200\n\n", {{"38000", 1200, 0, {}}}},
    };
}

class Loading : public RemoteFile, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(Loading, GivesTheRecordsTheLinesHold)
{
    EXPECT_EQ(LoadDump(GetParam().file), Dump(GetParam().expected));
    EXPECT_EQ(quillet::CurrentQuitRequest().count, 0u);
}

INSTANTIATE_TEST_SUITE_P(RemoteFile, Loading, ::testing::ValuesIn(LoadCases()),
                         [](const auto &info) { return std::string(info.param.title); });

// ---------------------------------------------------------------- saving --

struct SaveCase {
    const char *title;
    ListData list;
    std::string file;
};

void PrintTo(const SaveCase &c, std::ostream *os) { *os << c.title; }

std::vector<SaveCase> SaveCases()
{
    using namespace std::string_literals;
    return {
        {"EmptyListGivesAnEmptyFile", {}, ""},
        {"RemoteWithoutCommands", {{"Amp", 40000, 600, {}}}, "Amp 40000 600\n\n"},
        {"CommandWithoutBlocksEndsItsLine", {{"R", 1, 2, {{"Power", {}}, {"Mute", {{1, 'A', {}}}}}}},
         "R 1 2\nPower\nMute 1 A\n\n"},
        {"BytesAsTwoLowerCaseDigits", {{"R", 1, 2, {{"C", {{3, 'Z', {0x0c, 0x00, 0xab, 0xff}}}}}}},
         "R 1 2\nC 3 Z 0c 00 ab ff\n\n"},
        {"LargestNumbers", {{"R", 4294967295u, 4294967295u, {{"C", {{4294967295u, 'A', {}}}}}}},
         "R 4294967295 4294967295\nC 4294967295 A\n\n"},
        {"NullNamesAreEmptyTexts", {{std::nullopt, 1, 2, {{std::nullopt, {{1, 'A', {}}}}}}}, " 1 2\n 1 A\n\n"},
        {"BlankKindIsASecondBlank", {{"R", 1, 2, {{"C", {{1, ' ', {0x0c}}}}}}}, "R 1 2\nC 1   0c\n\n"},
        {"NameWithBlanksAsItStands", {{"Two Words", 38000, 1200, {}}}, "Two Words 38000 1200\n\n"},
    };
}

class Saving : public RemoteFile, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(Saving, WritesTheList)
{
    List list(Build(GetParam().list));
    EXPECT_EQ(SaveRemotes(list.head, Path("out.rmt").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(Path("out.rmt")), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(RemoteFile, Saving, ::testing::ValuesIn(SaveCases()),
                         [](const auto &info) { return std::string(info.param.title); });

TEST_F(RemoteFile, SavingLeavesTheListUnchanged)
{
    List list(Build(ExampleList()));
    SaveRemotes(list.head, Path("out.rmt").c_str());
    EXPECT_EQ(Dump(list.head), Dump(ExampleList()));
}

// ------------------------------------------------------------ round trip --

// Random lists within the format's limits: names of printable non-blank
// bytes (also above 0x7f), kinds printable and non-blank, 0-300 bytes per
// block, 0-5 blocks per command, numbers over their whole range.
ListData RandomList(std::mt19937 &random)
{
    auto below = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); };
    auto name = [&] {
        std::string text(1 + below(12), 'x');
        for (char &c : text) {
            const unsigned pick = below(94 + 128);
            c = static_cast<char>(pick < 94 ? 0x21 + pick : 0x80 + (pick - 94));
        }
        return text;
    };
    auto number = [&]() -> uint32_t {
        switch (below(4)) {
        case 0: return 0;
        case 1: return 4294967295u;
        default: return static_cast<uint32_t>(random());
        }
    };
    ListData list(below(5));
    for (RemoteData &r : list) {
        r = {name(), number(), number(), std::vector<CommandData>(below(7))};
        for (CommandData &c : r.commands) {
            c = {name(), std::vector<BlockData>(below(6))};
            for (BlockData &b : c.blocks) {
                b = {number(), static_cast<char>(0x21 + below(94)), std::vector<uint8_t>(below(301))};
                for (uint8_t &byte : b.bytes)
                    byte = static_cast<uint8_t>(random());
            }
        }
    }
    return list;
}

TEST_F(RemoteFile, RandomListsReadBackUnchanged)
{
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const ListData data = RandomList(random);
        List list(Build(data));
        ASSERT_EQ(SaveRemotes(list.head, Path("round.rmt").c_str()), 0);
        List loaded(LoadRemotes(Path("round.rmt").c_str()));
        ASSERT_EQ(Dump(loaded.head), Dump(data));
    }
}

// ------------------------------------------------------ files and paths --

TEST_F(RemoteFile, SavingToAPathThatCannotBeOpenedGivesZeroAndCreatesNothing)
{
    WriteWholeFile(Path("plain"), "x");
    const fs::path workingDirectory = fs::current_path();
    fs::current_path(dir);  // an empty path must not become a file in the working directory
    for (const std::string &path : {Path("missing/out.rmt"), Path("plain/out.rmt"), dir.string(), std::string()}) {
        SCOPED_TRACE(path);
        List list(Build(ExampleList()));
        EXPECT_EQ(SaveRemotes(list.head, path.c_str()), 0);
    }
    EXPECT_EQ(SaveRemotes(nullptr, nullptr), 0);
    EXPECT_EQ(LoadRemotes(""), nullptr);
    fs::current_path(workingDirectory);
    EXPECT_EQ(Entries(), std::vector<std::string>{"plain"});
    EXPECT_EQ(ReadWholeFile(Path("plain")), "x");
}

TEST_F(RemoteFile, SavingToAReadOnlyPlaceGivesZeroAndChangesNothing)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    WriteWholeFile(Path("old.rmt"), kExampleFile);
    chmod(Path("old.rmt").c_str(), 0444);
    fs::create_directory(dir / "locked");
    chmod((dir / "locked").c_str(), 0555);
    List list(Build({{"New", 1, 2, {}}}));
    EXPECT_EQ(SaveRemotes(list.head, Path("old.rmt").c_str()), 0);
    EXPECT_EQ(SaveRemotes(list.head, Path("locked/new.rmt").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(Path("old.rmt")), kExampleFile);
    EXPECT_TRUE(fs::is_empty(dir / "locked"));
    chmod((dir / "locked").c_str(), 0755);
}

TEST_F(RemoteFile, SavingReplacesTheFileKeepingItsModeAndLeavesNothingElse)
{
    WriteWholeFile(Path("remotes.rmt"), "Old 1 2\n\n" + std::string(10000, '#'));
    chmod(Path("remotes.rmt").c_str(), 0640);
    List list(Build(ExampleList()));
    EXPECT_EQ(SaveRemotes(list.head, Path("remotes.rmt").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(Path("remotes.rmt")), kExampleFile);
    struct stat status {};
    ASSERT_EQ(stat(Path("remotes.rmt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"remotes.rmt"});
}

TEST_F(RemoteFile, SavingThroughASymbolicLinkWritesItsTarget)
{
    WriteWholeFile(Path("target.rmt"), "Old 1 2\n\n");
    fs::create_symlink("target.rmt", dir / "link.rmt");
    List list(Build(ExampleList()));
    EXPECT_EQ(SaveRemotes(list.head, Path("link.rmt").c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.rmt"));
    EXPECT_EQ(ReadWholeFile(Path("target.rmt")), kExampleFile);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"link.rmt", "target.rmt"}));
}

TEST_F(RemoteFile, SavingAHardLinkedFileWritesItForEveryName)
{
    WriteWholeFile(Path("a.rmt"), "Old 1 2\n\n");
    fs::create_hard_link(dir / "a.rmt", dir / "b.rmt");
    List list(Build(ExampleList()));
    EXPECT_EQ(SaveRemotes(list.head, Path("a.rmt").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(Path("b.rmt")), kExampleFile);
    EXPECT_EQ(fs::hard_link_count(dir / "a.rmt"), 2u);
}

TEST_F(RemoteFile, AWriteThatFailsGivesMinusOne)
{
    List list(Build(ExampleList()));
    EXPECT_EQ(SaveRemotes(list.head, "/dev/full"), -1);
}

// A write that fails half-way (here: the file size limit, as on a full disk)
// must not cost the user the file that was there.
TEST_F(RemoteFile, AFailedSaveKeepsTheOldFile)
{
    WriteWholeFile(Path("remotes.rmt"), kExampleFile);
    List big(Build({{"Big", 1, 2, {{"C", {{1, 'A', CountingBytes(20000)}}}}}}));
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &small);
    const int32_t result = SaveRemotes(big.head, Path("remotes.rmt").c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(ReadWholeFile(Path("remotes.rmt")), kExampleFile);
    EXPECT_EQ(Entries(), std::vector<std::string>{"remotes.rmt"});
}

TEST_F(RemoteFile, LoadingAMissingFileCreatesItEmptyAndGivesNull)
{
    EXPECT_EQ(LoadRemotes(Path("new.rmt").c_str()), nullptr);
    EXPECT_TRUE(fs::is_regular_file(dir / "new.rmt"));
    EXPECT_EQ(fs::file_size(dir / "new.rmt"), 0u);
}

TEST_F(RemoteFile, LoadingANullPathGivesNullAndTouchesNothing)
{
    EXPECT_EQ(LoadRemotes(nullptr), nullptr);
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(RemoteFile, LoadingWhatIsNoRegularFileGivesNull)
{
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(LoadRemotes(dir.c_str()), nullptr);
    EXPECT_EQ(LoadRemotes(Path("fifo").c_str()), nullptr);  // and does not wait for a writer
    EXPECT_EQ(LoadRemotes(Path("missing/new.rmt").c_str()), nullptr);
    EXPECT_EQ(Entries(), std::vector<std::string>{"fifo"});
}

TEST_F(RemoteFile, LoadingAnUnreadableFileGivesNullAndLeavesIt)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    WriteWholeFile(Path("secret.rmt"), kExampleFile);
    chmod(Path("secret.rmt").c_str(), 0200);
    EXPECT_EQ(LoadRemotes(Path("secret.rmt").c_str()), nullptr);
    chmod(Path("secret.rmt").c_str(), 0600);
    EXPECT_EQ(ReadWholeFile(Path("secret.rmt")), kExampleFile);
}

// ------------------------------------------------------ allocation failure --

// Whichever allocation fails, the load gives null, frees what it had made
// (the sanitizer's leak check fails otherwise) and posts one quit request.
TEST_F(RemoteFile, AnAllocationFailureGivesNullAndOneQuitRequest)
{
    WriteWholeFile(Path("in.rmt"), kExampleFile);
    unsigned succeeding = 0;
    for (;; ++succeeding) {
        SCOPED_TRACE("allocations before the failing one: " + std::to_string(succeeding));
        quillet::CurrentQuitRequest() = {};
        quillet::FailNextAllocations(1, succeeding);
        List loaded(LoadRemotes(Path("in.rmt").c_str()));
        if (quillet::CurrentQuitRequest().count == 0) {  // the load needed fewer allocations
            EXPECT_EQ(Dump(loaded.head), Dump(ExampleList()));
            break;
        }
        EXPECT_EQ(loaded.head, nullptr);
        EXPECT_EQ(quillet::CurrentQuitRequest().count, 1u);
        EXPECT_EQ(quillet::CurrentQuitRequest().exitCode, 0);
        ASSERT_LT(succeeding, 100u);
    }
    EXPECT_GE(succeeding, 10u);  // records, names, blocks and byte arrays were all reached
}

}  // namespace
