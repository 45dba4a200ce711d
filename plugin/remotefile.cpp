// The remote file: SaveRemotes writes a remote list as text, LoadRemotes
// reads one back. One section per remote:
//
//   <Name> <CarrierFrequency> <BitRate>\n
//   <CommandName> <Number> <Kind> <xx> <xx> ...\n      first block of a command
//    <Number> <Kind> <xx> ...\n                        further block (leading blank)
//   <CommandName>\n                                    command without blocks
//   \n                                                 end of the remote
//
// Tokens are runs of characters other than blank and tab. Lines may be of any
// length. Numbers are read like "%u" / "%x": an optional sign, digits up to the
// first character that is not one, wrapping modulo 2^32 (a byte keeps the low
// eight bits); a missing or digit-less number reads as 0, a missing Kind as '\0'.
#include "allocation.h"
#include "quillet.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------- reading --

enum class ReadResult { Line, End, Failed, OutOfMemory };

// Whole lines of any length, without their line end. A "\r" in front of the
// "\n" belongs to the line end too (files copied from Windows); a last line
// without a line end is a line like any other.
class LineReader {
public:
    explicit LineReader(FILE *file) : file_(file) {}
    ~LineReader() { std::free(buffer_); }
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    ReadResult Next()
    {
        errno = 0;
        ssize_t n = getline(&buffer_, &capacity_, file_);
        if (n < 0) {
            if (errno == ENOMEM)
                return ReadResult::OutOfMemory;
            return ferror(file_) ? ReadResult::Failed : ReadResult::End;
        }
        size_t length = static_cast<size_t>(n);
        if (length > 0 && buffer_[length - 1] == '\n')
            --length;
        if (length > 0 && buffer_[length - 1] == '\r')
            --length;
        buffer_[length] = '\0';
        text_ = buffer_;
        length_ = length;
        return ReadResult::Line;
    }

    char *Text() const { return text_; }
    size_t Length() const { return length_; }

private:
    FILE *file_;
    char *buffer_ = nullptr;
    size_t capacity_ = 0;
    char *text_ = nullptr;
    size_t length_ = 0;
};

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

// Splits one line into tokens in place: each token handed out is
// zero-terminated where its separator (or the line's end) stood.
class Tokens {
public:
    Tokens(char *text, size_t length) : pos_(text), end_(text + length) {}

    // The next token, or null when the line holds no more.
    char *Next()
    {
        while (pos_ < end_ && IsSeparator(*pos_))
            ++pos_;
        if (pos_ == end_)
            return nullptr;
        char *token = pos_;
        while (pos_ < end_ && !IsSeparator(*pos_))
            ++pos_;
        if (pos_ < end_) {
            *pos_ = '\0';
            ++pos_;
        }  // else *end_ is already the line's terminator
        return token;
    }

    // How many tokens are left, without taking them.
    size_t CountRemaining() const
    {
        size_t count = 0;
        for (const char *p = pos_; p < end_;) {
            while (p < end_ && IsSeparator(*p))
                ++p;
            if (p == end_)
                break;
            ++count;
            while (p < end_ && !IsSeparator(*p))
                ++p;
        }
        return count;
    }

private:
    char *pos_;
    char *end_;
};

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// A number as "%u" (base 10) or "%x" (base 16) reads it, but with a fixed
// result where scanf's is undefined: the value wraps modulo 2^32, and a minus
// sign negates it modulo 2^32. A token without digits, or no token, gives 0.
uint32_t ScanNumber(const char *token, unsigned base)
{
    if (token == nullptr)
        return 0;
    const char *p = token;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16)
        p += 2;
    uint32_t value = 0;
    for (int digit; (digit = DigitValue(*p)) < static_cast<int>(base); ++p)
        value = value * base + static_cast<uint32_t>(digit);
    return negative ? 0u - value : value;
}

// One load in progress. Every record it makes is linked into `list` at once,
// so FreeRemotes(&list) releases all of it whenever the load has to give up.
struct Load {
    explicit Load(FILE *file) : reader(file) {}

    // Reads the next line; false at the end of the file or on a failure.
    bool Read()
    {
        last = reader.Next();
        if (last == ReadResult::OutOfMemory)
            quillet::PostQuitRequest(0);
        return last == ReadResult::Line;
    }
    bool AtCleanEnd() const { return last == ReadResult::End; }

    LineReader reader;
    ReadResult last = ReadResult::End;
    Remote *list = nullptr;
};

// Makes one code block from the tokens of a command head line (after the
// name) or of a continuation line and appends it at `tail`.
bool AddCodeBlock(Tokens &tokens, CodeBlock **&tail)
{
    const uint32_t number = ScanNumber(tokens.Next(), 10);
    const char *kindToken = tokens.Next();
    const char kind = kindToken ? kindToken[0] : '\0';
    const size_t count = tokens.CountRemaining();
    if (count > UINT32_MAX)
        return false;

    CodeBlock *block = quillet::AllocateCodeBlock();
    if (block == nullptr)
        return false;
    block->Number = number;
    block->ByteCount = 0;
    block->Kind = kind;
    block->Bytes = nullptr;
    block->Next = nullptr;
    *tail = block;
    tail = &block->Next;

    auto *bytes = static_cast<uint8_t *>(quillet::AllocateBytes(static_cast<uint32_t>(count)));
    if (bytes == nullptr)
        return false;
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(ScanNumber(tokens.Next(), 16) & 0xffu);
    block->Bytes = bytes;
    block->ByteCount = static_cast<uint32_t>(count);
    return true;
}

// The blocks of one command: those on its head line (`tokens`, after the
// name) and those of the continuation lines below it. Leaves the first line
// that is not a continuation line in the reader.
bool ReadCodeBlocks(Load &load, Tokens &tokens, CodeBlock **first)
{
    CodeBlock **tail = first;
    if (tokens.CountRemaining() > 0 && !AddCodeBlock(tokens, tail))
        return false;
    while (load.Read()) {
        if (load.reader.Text()[0] != ' ')
            return true;
        Tokens continuation(load.reader.Text(), load.reader.Length());
        if (continuation.CountRemaining() == 0)
            return true;  // a blank line: ends the remote
        if (!AddCodeBlock(continuation, tail))
            return false;
    }
    return load.AtCleanEnd();
}

// The command lines of one remote, up to the line without tokens that ends
// it or the end of the file.
bool ReadCommandList(Load &load, Command **list)
{
    Command **tail = list;
    if (!load.Read())
        return load.AtCleanEnd();
    for (;;) {
        Tokens tokens(load.reader.Text(), load.reader.Length());
        const char *name = tokens.Next();
        if (name == nullptr)
            return true;
        Command *command = CreateCommand(nullptr, nullptr);
        if (command == nullptr)
            return false;
        AddCommand(command, tail);
        tail = &command->Next;
        command->Name = quillet::DuplicateText(name);
        if (command->Name == nullptr)
            return false;
        if (!ReadCodeBlocks(load, tokens, &command->CodeBlocks))
            return false;
        if (load.last != ReadResult::Line)
            return true;
    }
}

// One remote from its header line (`tokens`, name already taken) and the
// lines that follow it; appended at `tail`.
bool ReadRemote(Load &load, Tokens &tokens, const char *name, Remote **&tail)
{
    const uint32_t carrierFrequency = ScanNumber(tokens.Next(), 10);
    const uint32_t bitRate = ScanNumber(tokens.Next(), 10);
    Remote *remote = CreateRemote(nullptr, carrierFrequency, bitRate, nullptr);
    if (remote == nullptr)
        return false;
    AddRemote(remote, tail);  // tail is the last remote's Next: appends in O(1)
    tail = &remote->Next;
    remote->Name = quillet::DuplicateText(name);
    if (remote->Name == nullptr)
        return false;
    return ReadCommandList(load, &remote->Commands);
}

// Opens the file for loading; a missing file is created empty first. Only
// regular files are read: a directory, a FIFO or a device gives null.
FILE *OpenForLoading(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
        // No O_TRUNC: a file that appeared meanwhile is left as it is.
        const int created = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (created < 0)
            return nullptr;
        close(created);
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd < 0)
        return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, "r");
    if (file == nullptr)
        close(fd);
    return file;
}

Remote *LoadFile(FILE *file)
{
    Load load(file);
    Remote **tail = &load.list;
    bool ok = true;
    while (ok && load.Read()) {
        Tokens tokens(load.reader.Text(), load.reader.Length());
        const char *name = tokens.Next();
        if (name == nullptr)
            continue;  // a blank line where a header line is due
        ok = ReadRemote(load, tokens, name, tail);
    }
    // A failed read or allocation gives nothing rather than part of the file:
    // saving such a part over the file would lose the rest.
    if (!ok || !load.AtCleanEnd()) {
        FreeRemotes(&load.list);
        return nullptr;
    }
    return load.list;
}

// ---------------------------------------------------------------- writing --

class Writer {
public:
    explicit Writer(FILE *file) : file_(file) {}

    void Put(char c)
    {
        if (used_ == sizeof buffer_)
            Flush();
        buffer_[used_++] = c;
    }
    void Put(const char *text)
    {
        if (text == nullptr)
            return;  // a null name is written as an empty text
        size_t length = std::strlen(text);
        if (length > sizeof buffer_ - used_) {
            Flush();
            if (length > sizeof buffer_) {
                failed_ |= std::fwrite(text, 1, length, file_) != length;
                return;
            }
        }
        std::memcpy(buffer_ + used_, text, length);
        used_ += length;
    }
    void Decimal(uint32_t value)
    {
        char digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0)
            Put(digits[--n]);
    }
    void Hex(uint8_t byte)
    {
        static constexpr char kDigits[] = "0123456789abcdef";
        Put(kDigits[byte >> 4]);
        Put(kDigits[byte & 0x0f]);
    }
    // Flushes everything to the file; false when any write failed.
    bool Finish()
    {
        Flush();
        return !failed_ && std::fflush(file_) == 0 && !std::ferror(file_);
    }

private:
    void Flush()
    {
        if (used_ > 0)
            failed_ |= std::fwrite(buffer_, 1, used_, file_) != used_;
        used_ = 0;
    }

    FILE *file_;
    char buffer_[16384];
    size_t used_ = 0;
    bool failed_ = false;
};

bool WriteList(FILE *file, const Remote *list)
{
    Writer out(file);
    for (const Remote *remote = list; remote != nullptr; remote = remote->Next) {
        out.Put(remote->Name);
        out.Put(' ');
        out.Decimal(remote->CarrierFrequency);
        out.Put(' ');
        out.Decimal(remote->BitRate);
        out.Put('\n');
        for (const Command *command = remote->Commands; command != nullptr; command = command->Next) {
            out.Put(command->Name);
            if (command->CodeBlocks == nullptr)
                out.Put('\n');  // its name alone on the line
            for (const CodeBlock *block = command->CodeBlocks; block != nullptr; block = block->Next) {
                out.Put(' ');
                out.Decimal(block->Number);
                out.Put(' ');
                out.Put(block->Kind);
                if (block->Bytes != nullptr) {
                    for (uint32_t i = 0; i < block->ByteCount; ++i) {
                        out.Put(' ');
                        out.Hex(block->Bytes[i]);
                    }
                }
                out.Put('\n');
            }
        }
        out.Put('\n');
    }
    return out.Finish();
}

// Writes straight into the file at `path`, truncating it first. Used where a
// replacement by rename is not possible or not wanted.
int32_t SaveInPlace(const Remote *list, const char *path)
{
    FILE *file = std::fopen(path, "we");
    if (file == nullptr)
        return 0;
    const bool written = WriteList(file, list);
    const bool closed = std::fclose(file) == 0;
    return written && closed ? 0 : -1;
}

// Creates a new, empty file next to `target` (same directory, so a rename
// can replace the target). Returns its descriptor and name, or -1.
int CreateSibling(const std::string &target, std::string &name)
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long seed = static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(getpid()) << 20);
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08lx.tmp", (seed + attempt * 7919ul) & 0xfffffffful);
        name = target + suffix;
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Writes the list into a new file beside the target and renames it over the
// target only once everything is written and on disk, so a full disk or a
// failed write never leaves the user's old file truncated.
int32_t SaveReplacing(const Remote *list, const char *path)
{
    std::string target = path;
    if (char *resolved = realpath(path, nullptr)) {  // write through symbolic links
        target = resolved;
        std::free(resolved);
    }
    struct stat status;
    const bool exists = stat(target.c_str(), &status) == 0;
    if (exists && (!S_ISREG(status.st_mode) || status.st_nlink > 1))
        return SaveInPlace(list, path);  // a device, FIFO or hard-linked file; a directory fails to open
    struct stat link;
    if (!exists && lstat(path, &link) == 0)
        return SaveInPlace(list, path);  // a dangling link: create its target
    if (exists) {
        // An existing file that cannot be opened for writing stays untouched.
        const int probe = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (probe < 0)
            return 0;
        close(probe);
    }

    std::string temporary;
    const int fd = CreateSibling(target, temporary);
    if (fd < 0)
        return SaveInPlace(list, path);  // e.g. a writable file in a read-only directory
    if (exists && (fchown(fd, status.st_uid, status.st_gid) != 0 || fchmod(fd, status.st_mode & 07777) != 0)) {
        // Someone else's file that we may write: keep its owner by writing in place.
        close(fd);
        unlink(temporary.c_str());
        return SaveInPlace(list, path);
    }
    FILE *file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
        unlink(temporary.c_str());
        return 0;
    }
    bool ok = WriteList(file, list) && fsync(fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && std::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int32_t SaveRemotes(Remote *list, const char *path)
{
    if (path == nullptr || *path == '\0')
        return 0;
    try {
        return SaveReplacing(list, path);
    } catch (const std::bad_alloc &) {
        quillet::PostQuitRequest(0);  // only the path texts allocate: nothing written yet
        return 0;
    } catch (...) {
        return 0;
    }
}

extern "C" Remote *LoadRemotes(const char *path)
{
    if (path == nullptr)
        return nullptr;
    try {
        FILE *file = OpenForLoading(path);
        if (file == nullptr)
            return nullptr;
        Remote *list = LoadFile(file);
        std::fclose(file);
        return list;
    } catch (...) {
        return nullptr;  // nothing in the loader throws; kept so none ever crosses
    }
}
