// The remote, command and code-block records the host holds.
#include "allocation.h"
#include "quillet.h"

#include <cstdlib>

namespace {

// Appends `record` alone at the end of the chain held in *list.
template <typename Record>
Record *Append(Record *record, Record **list)
{
    if (!record || !list)
        return nullptr;
    if (!*list) {
        *list = record;
    } else {
        Record *last = *list;
        while (last->Next)
            last = last->Next;
        last->Next = record;
    }
    // Cut off only after linking: appending the list's last record again then
    // leaves the list as it was instead of linking the record to itself.
    record->Next = nullptr;
    return record;
}

// Front to back; each record is unlinked before it is freed, so the chains
// never lead to freed memory.
void FreeCommand(Command *command)
{
    while (CodeBlock *block = command->CodeBlocks) {
        command->CodeBlocks = block->Next;
        std::free(block->Bytes);
        std::free(block);
    }
    std::free(command->Name);
    std::free(command);
}

}  // namespace

Remote *CreateRemote(char *name, uint32_t carrierFrequency, uint32_t bitRate, Command *commands)
{
    auto *remote = static_cast<Remote *>(quillet::AllocateBlock(sizeof(Remote)));
    if (!remote)
        return nullptr;
    remote->Name = name;
    remote->CarrierFrequency = carrierFrequency;
    remote->BitRate = bitRate;
    remote->Commands = commands;
    remote->Next = nullptr;
    return remote;
}

Command *CreateCommand(char *name, CodeBlock *codeBlocks)
{
    auto *command = static_cast<Command *>(quillet::AllocateBlock(sizeof(Command)));
    if (!command)
        return nullptr;
    command->Name = name;
    command->CodeBlocks = codeBlocks;
    command->Next = nullptr;
    return command;
}

Remote *AddRemote(Remote *remote, Remote **list) { return Append(remote, list); }

Command *AddCommand(Command *command, Command **list) { return Append(command, list); }

void FreeRemotes(Remote **list)
{
    if (!list)
        return;
    while (Remote *remote = *list) {
        while (Command *command = remote->Commands) {
            remote->Commands = command->Next;
            FreeCommand(command);
        }
        *list = remote->Next;
        std::free(remote->Name);
        std::free(remote);
    }
}
