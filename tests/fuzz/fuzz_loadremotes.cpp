// libFuzzer target for LoadRemotes: the input is the whole remote file.
// Every list the loader returns is freed with FreeRemotes, so a leak fails.
// A list that stays within what the format can carry must also save and load
// back to the same records.
#include "quillet.h"
#include "remotemodel.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Scratch {
    std::string dir, input, output;
    Scratch()
    {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_loadremotes.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        dir = pattern;
        input = dir + "/in.rmt";
        output = dir + "/out.rmt";
    }
    ~Scratch()
    {
        unlink(input.c_str());
        unlink(output.c_str());
        rmdir(dir.c_str());
    }
};

void WriteInput(const std::string &path, const uint8_t *data, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
        std::abort();
    close(fd);
}

// Names the writer can put down so that they read back: non-empty, and no
// "\r" that could end up in front of a line end and be taken for its part.
bool NameFits(const char *name) { return name != nullptr && *name != '\0' && !std::strchr(name, '\r'); }

bool FitsTheFormat(const Remote *list)
{
    for (const Remote *r = list; r; r = r->Next) {
        if (!NameFits(r->Name))
            return false;
        for (const Command *c = r->Commands; c; c = c->Next) {
            if (!NameFits(c->Name))
                return false;
            for (const CodeBlock *b = c->CodeBlocks; b; b = b->Next)
                if (b->Kind == '\r' || b->Kind == ' ' || b->Kind == '\t')
                    return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Scratch scratch;
    WriteInput(scratch.input, data, size);
    Remote *list = LoadRemotes(scratch.input.c_str());
    if (list != nullptr && FitsTheFormat(list)) {
        if (SaveRemotes(list, scratch.output.c_str()) != 0)
            std::abort();
        Remote *again = LoadRemotes(scratch.output.c_str());
        if (Dump(again) != Dump(list)) {
            std::fprintf(stderr, "round trip changed the list:\n%s---\n%s", Dump(list).c_str(), Dump(again).c_str());
            std::abort();
        }
        FreeRemotes(&again);
    }
    FreeRemotes(&list);
    return 0;
}
