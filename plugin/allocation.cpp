#include "allocation.h"

#include <cstdlib>
#include <cstring>

namespace quillet {

namespace {
thread_local QuitRequest quitRequest;
thread_local unsigned allocationsToFail = 0;
thread_local unsigned allocationsToPass = 0;
}  // namespace

QuitRequest &CurrentQuitRequest() { return quitRequest; }

void PostQuitRequest(int exitCode)
{
    quitRequest.pending = true;
    quitRequest.exitCode = exitCode;
    ++quitRequest.count;
}

void FailNextAllocations(unsigned failures, unsigned after)
{
    allocationsToFail = failures;
    allocationsToPass = after;
}

void *AllocateBlock(std::size_t size)
{
    void *block = nullptr;
    const bool fail = allocationsToPass == 0 && allocationsToFail > 0;
    if (allocationsToPass > 0)
        --allocationsToPass;
    else if (fail)
        --allocationsToFail;
    if (!fail)
        block = std::malloc(size > 0 ? size : 1);  // malloc(0) may give null
    if (!block)
        PostQuitRequest(0);
    return block;
}

void *AllocateBytes(uint32_t count) { return AllocateBlock(count); }

CodeBlock *AllocateCodeBlock() { return static_cast<CodeBlock *>(AllocateBlock(sizeof(CodeBlock))); }

char *DuplicateText(const char *text)
{
    if (!text)
        return nullptr;
    const std::size_t size = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(AllocateBlock(size));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

}  // namespace quillet
