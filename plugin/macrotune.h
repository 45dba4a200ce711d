// The steps of MacroTune (internal, not exported), apart for testing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

// Template and command line: at most 511 characters and the terminator.
constexpr std::size_t lineSize = 512;
// A line of 511 characters holds at most 256 words.
constexpr std::size_t maxWords = 256;

// Opens the directory of the configuration key for reading, creating it and
// its parents (mode 0755) when missing. Returns the descriptor, or -errno.
int OpenConfigurationKey();

// Reads the value "command" of the open key: the file's bytes up to the
// first zero byte. False when the file is missing, not a regular file,
// unreadable, or holds 512 or more bytes before any zero byte.
bool ReadCommandTemplate(int keyDirectory, char (&text)[lineSize]);

// Copies `templateText` into `line` with its first "%CHANNEL%" replaced by
// `channel` in decimal. False when there is no token or the result would
// need more than 511 characters.
bool BuildCommandLine(const char *templateText, int32_t channel, char (&line)[lineSize]);

// Splits `line` into words by POSIX shell rules (blanks separate words;
// single quotes, double quotes and backslash quote; backslash-newline joins
// lines) without any expansion. The words are stored in `storage`, `words`
// ends with a null. Returns the number of words, or -1 for an unterminated
// quote or a trailing backslash.
int SplitWords(const char *line, char (&storage)[lineSize], char *(&words)[maxWords + 1]);

// Starts argv[0] (found through PATH) with `argv`, detached from the caller.
// True when the program was started.
bool StartDetached(char *const argv[]);

}  // namespace quillet
