// The plug-in's allocation helpers (internal, not exported).
// Every allocation of the plug-in goes through malloc, so that FreeRemotes
// can release everything with free. An exhausted allocator records a pending
// quit request (exit code 0) for the calling thread and the helper returns
// null; the call that failed goes on and returns to its caller.
#pragma once

#include "quillet.h"

#include <cstddef>
#include <cstdint>

namespace quillet {

void *AllocateBlock(std::size_t size); // any record or array; size 0 gives a valid block
void *AllocateBytes(uint32_t count);   // uninitialised; count 0 gives a valid block
CodeBlock *AllocateCodeBlock();        // uninitialised: the caller sets every field
char *DuplicateText(const char *text); // a new copy; null after a failed allocation or for null

// Quit request of the calling thread (thread-local). There is no message
// queue on this platform: a host that wants to honour the request reads it
// on the thread that called into the plug-in.
struct QuitRequest {
    bool pending = false;
    int exitCode = 0;
    unsigned count = 0;  // how many requests were posted
};
QuitRequest &CurrentQuitRequest();
void PostQuitRequest(int exitCode);

// Test hook: the next `failures` allocations on the calling thread fail,
// after `after` more that succeed.
void FailNextAllocations(unsigned failures, unsigned after = 0);

}  // namespace quillet
