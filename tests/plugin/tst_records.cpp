// Making, chaining and freeing remote lists. Built with AddressSanitizer:
// a leak or double free fails the test.
#include "quillet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

char *Text(const char *text) { return strdup(text); }  // host-made names come from malloc

Remote *NewRemote(const char *name) { return CreateRemote(Text(name), 38000, 1200, nullptr); }
Command *NewCommand(const char *name) { return CreateCommand(Text(name), nullptr); }

CodeBlock *NewBlock(uint32_t number, std::vector<uint8_t> bytes)
{
    auto *block = static_cast<CodeBlock *>(std::malloc(sizeof(CodeBlock)));
    block->Number = number;
    block->ByteCount = static_cast<uint32_t>(bytes.size());
    block->Kind = 'A';
    block->Bytes = static_cast<uint8_t *>(std::malloc(bytes.size()));
    if (!bytes.empty())
        std::memcpy(block->Bytes, bytes.data(), bytes.size());
    block->Next = nullptr;
    return block;
}

std::vector<std::string> Names(const Remote *list)
{
    std::vector<std::string> names;
    for (; list; list = list->Next)
        names.emplace_back(list->Name);
    return names;
}

std::vector<std::string> Names(const Command *list)
{
    std::vector<std::string> names;
    for (; list; list = list->Next)
        names.emplace_back(list->Name);
    return names;
}

// Frees the list at the end of each test; a leak then fails the test.
struct RecordsTest : ::testing::Test {
    Remote *list = nullptr;
    void TearDown() override
    {
        FreeRemotes(&list);
        EXPECT_EQ(list, nullptr);
    }
};

TEST_F(RecordsTest, CreateRemoteTakesArgumentsAsTheyAre)
{
    char *name = Text("Cable");
    Command *commands = NewCommand("Power");
    Remote *remote = CreateRemote(name, 38000, 4294967295u, commands);
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->Name, name);  // taken over, not copied
    EXPECT_EQ(remote->CarrierFrequency, 38000u);
    EXPECT_EQ(remote->BitRate, 4294967295u);
    EXPECT_EQ(remote->Commands, commands);
    EXPECT_EQ(remote->Next, nullptr);
    AddRemote(remote, &list);
}

TEST_F(RecordsTest, CreateWithNullArgumentsStoresNull)
{
    Remote *remote = CreateRemote(nullptr, 0, 0, nullptr);
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->Name, nullptr);
    EXPECT_EQ(remote->Commands, nullptr);
    Command *command = CreateCommand(nullptr, nullptr);
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->Name, nullptr);
    EXPECT_EQ(command->CodeBlocks, nullptr);
    EXPECT_EQ(command->Next, nullptr);
    AddCommand(command, &remote->Commands);
    AddRemote(remote, &list);  // freeing null names does nothing
}

TEST_F(RecordsTest, AddRemoteToEmptyListStoresItInTheReference)
{
    Remote *remote = NewRemote("Cable");
    EXPECT_EQ(AddRemote(remote, &list), remote);
    EXPECT_EQ(list, remote);
    EXPECT_EQ(remote->Next, nullptr);
}

TEST_F(RecordsTest, AddRemoteToThreeMakesItTheFourth)
{
    Remote *first = NewRemote("A");
    AddRemote(first, &list);
    AddRemote(NewRemote("B"), &list);
    AddRemote(NewRemote("C"), &list);
    Remote *fourth = NewRemote("D");
    EXPECT_EQ(AddRemote(fourth, &list), fourth);
    EXPECT_EQ(list, first);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_EQ(fourth->Next, nullptr);
}

TEST_F(RecordsTest, AppendedRemoteIsCutOffFromWhatItLedTo)
{
    Remote *other = nullptr;
    Remote *head = NewRemote("X");
    AddRemote(head, &other);
    Remote *rest = NewRemote("Y");
    AddRemote(rest, &other);
    AddRemote(NewRemote("A"), &list);

    AddRemote(head, &list);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"A", "X"}));
    EXPECT_EQ(head->Next, nullptr);
    EXPECT_EQ(Names(rest), (std::vector<std::string>{"Y"}));
    FreeRemotes(&rest);  // no longer reachable from the list
}

TEST_F(RecordsTest, AppendedCommandIsCutOffFromWhatItLedTo)
{
    Command *held = nullptr;
    Command *head = NewCommand("X");
    AddCommand(head, &held);
    Command *tail = NewCommand("Y");
    AddCommand(tail, &held);

    Remote *remote = NewRemote("R");
    AddRemote(remote, &list);
    EXPECT_EQ(AddCommand(head, &remote->Commands), head);
    EXPECT_EQ(head->Next, nullptr);
    EXPECT_EQ(Names(remote->Commands), (std::vector<std::string>{"X"}));

    AddCommand(tail, &remote->Commands);  // now owned by the remote as well
}

// A host that appends its last record a second time must not get a chain
// that leads back to itself (saving it would never end).
TEST_F(RecordsTest, AppendingTheLastRecordAgainKeepsTheList)
{
    AddRemote(NewRemote("A"), &list);
    Remote *last = NewRemote("B");
    AddRemote(last, &list);
    EXPECT_EQ(AddRemote(last, &list), last);
    ASSERT_EQ(last->Next, nullptr);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"A", "B"}));

    Command *only = NewCommand("Power");
    AddCommand(only, &last->Commands);
    EXPECT_EQ(AddCommand(only, &last->Commands), only);
    ASSERT_EQ(only->Next, nullptr);
    EXPECT_EQ(Names(last->Commands), (std::vector<std::string>{"Power"}));
}

TEST_F(RecordsTest, AddCommandAppendsToARemotesCommands)
{
    Remote *remote = NewRemote("Cable");
    AddRemote(remote, &list);
    Command *power = NewCommand("Power");
    EXPECT_EQ(AddCommand(power, &remote->Commands), power);
    EXPECT_EQ(remote->Commands, power);
    AddCommand(NewCommand("Mute"), &remote->Commands);
    AddCommand(NewCommand("Up"), &remote->Commands);
    EXPECT_EQ(Names(remote->Commands), (std::vector<std::string>{"Power", "Mute", "Up"}));
}

TEST_F(RecordsTest, CommandListHeldForARemoteStillToBeMade)
{
    Command *commands = nullptr;
    AddCommand(NewCommand("Power"), &commands);
    AddCommand(NewCommand("Mute"), &commands);
    AddRemote(CreateRemote(Text("Cable"), 1, 2, commands), &list);
    EXPECT_EQ(Names(list->Commands), (std::vector<std::string>{"Power", "Mute"}));
}

TEST_F(RecordsTest, NullRecordOrListAddressDoesNothing)
{
    Remote *remote = NewRemote("A");
    AddRemote(remote, &list);
    EXPECT_EQ(AddRemote(nullptr, &list), nullptr);
    EXPECT_EQ(AddRemote(remote, nullptr), nullptr);
    EXPECT_EQ(list, remote);
    EXPECT_EQ(remote->Next, nullptr);

    Command *command = NewCommand("C");
    AddCommand(command, &remote->Commands);
    EXPECT_EQ(AddCommand(nullptr, &remote->Commands), nullptr);
    EXPECT_EQ(AddCommand(command, nullptr), nullptr);
    EXPECT_EQ(remote->Commands, command);

    FreeRemotes(nullptr);
}

TEST_F(RecordsTest, FreeRemotesOnEmptyListLeavesItNull)
{
    FreeRemotes(&list);
    EXPECT_EQ(list, nullptr);
}

// Two remotes with several commands of several blocks, one without commands,
// a block without bytes: freed exactly once each (the sanitizer checks).
TEST_F(RecordsTest, FreeRemotesReleasesEverything)
{
    for (const char *remoteName : {"Cable", "Amp", "Empty"}) {
        Remote *remote = NewRemote(remoteName);
        AddRemote(remote, &list);
        if (std::strcmp(remoteName, "Empty") == 0)
            continue;
        for (const char *commandName : {"Power", "Mute", "Up"}) {
            CodeBlock *blocks = NewBlock(1, {0x0c, 0x40});
            blocks->Next = NewBlock(2, {});
            blocks->Next->Next = NewBlock(3, {0xff});
            AddCommand(CreateCommand(Text(commandName), blocks), &remote->Commands);
        }
    }
    FreeRemotes(&list);
    EXPECT_EQ(list, nullptr);
}

}  // namespace
