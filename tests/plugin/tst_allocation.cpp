// The allocation helpers and the quit request of an exhausted allocator.
// Built with AddressSanitizer.
#include "allocation.h"
#include "quillet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

// From the AddressSanitizer runtime this test is linked with.
extern "C" size_t __sanitizer_get_allocated_size(const volatile void *block);

namespace {

using quillet::CurrentQuitRequest;

struct AllocationTest : ::testing::Test {
    void SetUp() override { CurrentQuitRequest() = {}; }
    void TearDown() override
    {
        quillet::FailNextAllocations(0);
        CurrentQuitRequest() = {};
    }
};

TEST_F(AllocationTest, ZeroBytesGiveAValidBlockAndNoQuitRequest)
{
    void *block = quillet::AllocateBytes(0);
    EXPECT_NE(block, nullptr);
    EXPECT_FALSE(CurrentQuitRequest().pending);
    std::free(block);
}

TEST_F(AllocationTest, DuplicateTextMakesANewCopy)
{
    const char source[] = "Power";
    char *copy = quillet::DuplicateText(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, source);
    EXPECT_STREQ(copy, "Power");
    copy[0] = 'T';
    EXPECT_STREQ(source, "Power");
    std::free(copy);
}

TEST_F(AllocationTest, DuplicateOfEmptyTextIsOneTerminator)
{
    const char source[] = "";
    char *copy = quillet::DuplicateText(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, source);
    EXPECT_EQ(copy[0], '\0');
    EXPECT_EQ(__sanitizer_get_allocated_size(copy), 1u);
    std::free(copy);
    EXPECT_FALSE(CurrentQuitRequest().pending);
}

struct FailingAllocation {
    const char *name;
    std::function<void *()> allocate;
};

void PrintTo(const FailingAllocation &c, std::ostream *out) { *out << c.name; }

class FailedAllocationTest : public AllocationTest,
                             public ::testing::WithParamInterface<FailingAllocation> {};

// Each failure posts exactly one quit request with exit code 0, the helper
// returns null and the call returns; the next allocation works again.
TEST_P(FailedAllocationTest, PostsOneQuitRequestAndReturnsNull)
{
    quillet::FailNextAllocations(1);
    EXPECT_EQ(GetParam().allocate(), nullptr);
    EXPECT_TRUE(CurrentQuitRequest().pending);
    EXPECT_EQ(CurrentQuitRequest().exitCode, 0);
    EXPECT_EQ(CurrentQuitRequest().count, 1u);

    void *next = GetParam().allocate();
    EXPECT_NE(next, nullptr);
    EXPECT_EQ(CurrentQuitRequest().count, 1u);
    std::free(next);
}

INSTANTIATE_TEST_SUITE_P(
    Helpers, FailedAllocationTest,
    ::testing::Values(
        FailingAllocation{"AllocateBytes", [] { return quillet::AllocateBytes(16); }},
        FailingAllocation{"AllocateBytesZero", [] { return quillet::AllocateBytes(0); }},
        FailingAllocation{"AllocateCodeBlock", [] { return static_cast<void *>(quillet::AllocateCodeBlock()); }},
        FailingAllocation{"DuplicateText", [] { return static_cast<void *>(quillet::DuplicateText("Power")); }},
        FailingAllocation{"CreateRemote", [] { return static_cast<void *>(CreateRemote(nullptr, 1, 2, nullptr)); }},
        FailingAllocation{"CreateCommand", [] { return static_cast<void *>(CreateCommand(nullptr, nullptr)); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AllocationTest, FailedCreateLeavesTheNameToTheCaller)
{
    char *name = strdup("Cable");
    quillet::FailNextAllocations(2);
    EXPECT_EQ(CreateRemote(name, 1, 2, nullptr), nullptr);
    EXPECT_EQ(CreateCommand(name, nullptr), nullptr);
    EXPECT_EQ(CurrentQuitRequest().count, 2u);
    EXPECT_STREQ(name, "Cable");
    std::free(name);
}

TEST_F(AllocationTest, QuitRequestGoesToTheCallingThreadOnly)
{
    quillet::QuitRequest seenByWorker;
    std::thread worker([&] {
        quillet::FailNextAllocations(1);
        EXPECT_EQ(quillet::AllocateBytes(8), nullptr);
        seenByWorker = CurrentQuitRequest();
    });
    worker.join();
    EXPECT_TRUE(seenByWorker.pending);
    EXPECT_EQ(seenByWorker.count, 1u);
    EXPECT_FALSE(CurrentQuitRequest().pending);

    void *block = quillet::AllocateBytes(8);  // the worker's failures were its own
    EXPECT_NE(block, nullptr);
    std::free(block);
}

}  // namespace
