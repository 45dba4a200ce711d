// The order in which FreeRemotes releases a list. This host puts its own
// free() in front of the C library's (the plug-in's calls reach it through
// the dynamic linker) and notes every block released while it watches.
#include "loaded_plugin.h"
#include "quillet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" void __libc_free(void *block);

namespace {

constexpr size_t maxWatched = 256;
void *released[maxWatched];
size_t releasedCount = 0;
Remote **watchedList = nullptr;  // while set, free() notes what it releases
bool releasedWhileReachable = false;

// Whether `block` is still reachable from the list: a record, name or byte
// array that the caller's reference or a remaining link leads to.
bool Reachable(const Remote *remote, const void *block)
{
    for (; remote; remote = remote->Next) {
        if (remote == block || remote->Name == block)
            return true;
        for (const Command *command = remote->Commands; command; command = command->Next) {
            if (command == block || command->Name == block)
                return true;
            for (const CodeBlock *code = command->CodeBlocks; code; code = code->Next)
                if (code == block || code->Bytes == block)
                    return true;
        }
    }
    return false;
}

}  // namespace

extern "C" void free(void *block)
{
    if (watchedList && block) {
        if (Reachable(*watchedList, block))
            releasedWhileReachable = true;
        if (releasedCount < maxWatched)
            released[releasedCount++] = block;
    }
    __libc_free(block);
}

namespace {

CodeBlock *NewBlock(uint32_t number, size_t byteCount)
{
    auto *block = static_cast<CodeBlock *>(std::malloc(sizeof(CodeBlock)));
    block->Number = number;
    block->ByteCount = static_cast<uint32_t>(byteCount);
    block->Kind = 'A';
    block->Bytes = static_cast<uint8_t *>(std::malloc(byteCount));
    std::memset(block->Bytes, 0x5a, byteCount);
    block->Next = nullptr;
    return block;
}

TEST(FreeRemotes, ReleasesFrontToBackEachBlockOnceAfterUnlinkingIt)
{
    LoadedPlugin plugin;
    ASSERT_NE(plugin.handle(), nullptr) << dlerror();
    auto createRemote = plugin.Get<QuilletCreateRemoteFn>("CreateRemote");
    auto createCommand = plugin.Get<QuilletCreateCommandFn>("CreateCommand");
    auto addRemote = plugin.Get<QuilletAddRemoteFn>("AddRemote");
    auto addCommand = plugin.Get<QuilletAddCommandFn>("AddCommand");
    auto freeRemotes = plugin.Get<QuilletFreeRemotesFn>("FreeRemotes");

    // Two remotes of two commands of two blocks (one without bytes), a third
    // remote without commands; the order every block must be released in.
    Remote *list = nullptr;
    std::vector<void *> expected;
    for (int r = 0; r < 3; ++r) {
        Remote *remote = addRemote(createRemote(strdup("remote"), 38000, 1200, nullptr), &list);
        for (int c = 0; r < 2 && c < 2; ++c) {
            CodeBlock *first = NewBlock(1, 2);
            first->Next = NewBlock(2, 0);
            Command *command = addCommand(createCommand(strdup("command"), first), &remote->Commands);
            expected.insert(expected.end(), {first->Bytes, first, first->Next->Bytes, first->Next,
                                             command->Name, command});
        }
        // After its commands: the remote's name, then the remote.
        expected.push_back(remote->Name);
        expected.push_back(remote);
    }
    releasedCount = 0;
    releasedWhileReachable = false;
    watchedList = &list;
    freeRemotes(&list);
    watchedList = nullptr;

    EXPECT_EQ(list, nullptr);
    EXPECT_FALSE(releasedWhileReachable);
    EXPECT_EQ(std::vector<void *>(released, released + releasedCount), expected);
}

TEST(FreeRemotes, EmptyListReleasesNothing)
{
    LoadedPlugin plugin;
    Remote *list = nullptr;
    releasedCount = 0;
    watchedList = &list;
    plugin.Get<QuilletFreeRemotesFn>("FreeRemotes")(&list);
    watchedList = nullptr;
    EXPECT_EQ(releasedCount, 0u);
    EXPECT_EQ(list, nullptr);
}

}  // namespace
