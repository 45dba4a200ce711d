// The plug-in's allocation helpers (internal, not exported).
// Every allocation of the plug-in goes through malloc; an exhausted
// allocator records a pending quit request (exit code 0) for the calling
// thread and the helper returns null.
#pragma once

#include "quillet.h"

#include <cstddef>
#include <cstdint>

namespace quillet {

void *AllocateBytes(uint32_t count);   // count 0 gives a valid block
CodeBlock *AllocateCodeBlock();        // uninitialised
char *DuplicateText(const char *text); // null after a failed allocation

// Quit request of the calling thread (thread-local).
struct QuitRequest {
    bool pending = false;
    int exitCode = 0;
    unsigned count = 0;  // how many requests were posted
};
QuitRequest &CurrentQuitRequest();
void PostQuitRequest(int exitCode);

// Test hook: the next `failures` allocations on the calling thread fail.
void FailNextAllocations(unsigned failures);

}  // namespace quillet
