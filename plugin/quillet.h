/* quillet.h - the C interface of the quillet tuner-control plug-in.
 *
 * A host loads quillet.so with dlopen() and finds each function below with
 * dlsym() by its plain name; the Quillet...Fn types are the matching
 * function-pointer types. The header is valid C11 and C++.
 *
 * Threads: every function may be called from any host thread, and from
 * several threads at once. The plug-in takes no lock: calls that work on the
 * same record list must not overlap (the host serialises them).
 *
 * Memory: every record, name text and byte array reachable from a list that
 * the plug-in hands out was allocated with malloc() and is released by
 * FreeRemotes() with free(). A host-made name text given to CreateRemote() or
 * CreateCommand() must therefore come from malloc() (or strdup()); it then
 * belongs to the record. Records never outlive dlclose() of the plug-in.
 *
 * Out of memory: an allocation that fails records a quit request (exit
 * code 0) for the calling thread and the call returns null; the plug-in
 * shows no message and writes no log.
 *
 * No function throws or longjmps; none keeps state between calls.
 */
#ifndef QUILLET_H
#define QUILLET_H

#include <stdint.h>

#if defined(__GNUC__)
#define QUILLET_API __attribute__((visibility("default")))
#else
#define QUILLET_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One block of a command's code. Made only by LoadRemotes(). */
typedef struct CodeBlock {
    uint32_t Number;         /* a number carried with the block, not interpreted */
    uint32_t ByteCount;      /* how many bytes Bytes holds */
    char Kind;               /* one character tagging the block */
    uint8_t *Bytes;          /* owned: ByteCount bytes from malloc; freed by FreeRemotes */
    struct CodeBlock *Next;  /* owned: next block of the command, or null */
} CodeBlock;

/* One command of a remote. */
typedef struct Command {
    char *Name;              /* owned: zero-terminated text from malloc, may be null */
    CodeBlock *CodeBlocks;   /* owned: first block of the command's code, or null */
    struct Command *Next;    /* owned: next command of the remote, or null */
} Command;

/* One remote control; a remote list is a chain of these linked by Next and
 * held by the host as a pointer to its first record (null: empty list). */
typedef struct Remote {
    char *Name;                /* owned: zero-terminated text from malloc, may be null */
    uint32_t CarrierFrequency; /* stored, not interpreted */
    uint32_t BitRate;          /* stored, not interpreted */
    Command *Commands;         /* owned: first command, or null */
    struct Remote *Next;       /* owned: next remote of the list, or null */
} Remote;

typedef uint8_t quillet_bool; /* one byte: 0 false, 1 true */

/* ---- Records ---------------------------------------------------------- */

/* Makes a remote with Next null. Takes ownership of `name` (from malloc, may
 * be null) and of the command list `commands` (may be null); copies nothing.
 * Returns the new remote, owned by the caller until FreeRemotes(), or null
 * when memory is exhausted: then `name` and `commands` stay the caller's. */
QUILLET_API Remote *CreateRemote(char *name, uint32_t carrierFrequency, uint32_t bitRate,
                                 Command *commands);
typedef Remote *(*QuilletCreateRemoteFn)(char *name, uint32_t carrierFrequency,
                                         uint32_t bitRate, Command *commands);

/* Makes a command with Next null. Takes ownership of `name` (from malloc, may
 * be null) and of the block chain `codeBlocks` (may be null). Returns the new
 * command, or null when memory is exhausted: then both stay the caller's. */
QUILLET_API Command *CreateCommand(char *name, CodeBlock *codeBlocks);
typedef Command *(*QuilletCreateCommandFn)(char *name, CodeBlock *codeBlocks);

/* Appends `remote` alone at the end of the list held in *list (*list may be
 * null: the remote becomes the first). Sets remote->Next to null, cutting
 * off whatever it linked to. Returns `remote`. The list now owns it.
 * A null `remote` or `list` does nothing and returns null. */
QUILLET_API Remote *AddRemote(Remote *remote, Remote **list);
typedef Remote *(*QuilletAddRemoteFn)(Remote *remote, Remote **list);

/* As AddRemote() for a command list: `list` is a remote's &Commands or a
 * list the host holds for a remote still to be made. Returns `command`.
 * A null `command` or `list` does nothing and returns null. */
QUILLET_API Command *AddCommand(Command *command, Command **list);
typedef Command *(*QuilletAddCommandFn)(Command *command, Command **list);

/* Frees the whole list held in *list with everything it owns (commands,
 * blocks, names, byte arrays) and leaves *list null. A null `list` does
 * nothing. Everything reachable must come from malloc and be reachable once. */
QUILLET_API void FreeRemotes(Remote **list);
typedef void (*QuilletFreeRemotesFn)(Remote **list);

/* Reads the remote file at `path` into a new list owned by the caller
 * (release it with FreeRemotes()). Returns its first remote, or null for a
 * null path, an empty or new file, one that is no regular file or can't be
 * read to its end, and when memory runs out (never a part of the file).
 * A missing file is created empty. `path` stays the caller's. */
QUILLET_API Remote *LoadRemotes(const char *path);
typedef Remote *(*QuilletLoadRemotesFn)(const char *path);

/* Writes the list starting at `list` (may be null: empty file) to the remote
 * file at `path`, replacing it. The list stays the caller's, unchanged.
 * Returns 0 when the file was written and closed, and also when it can't be
 * opened (a null path included: nothing written); -1 when writing or closing
 * fails. The new file is written beside the old one and renamed over it, so a
 * failure keeps the old file, except where it must be written in place (a
 * hard-linked file, a device, another owner's file, a read-only directory). */
QUILLET_API int32_t SaveRemotes(Remote *list, const char *path);
typedef int32_t (*QuilletSaveRemotesFn)(Remote *list, const char *path);

/* ---- Tuning ----------------------------------------------------------- */

/* Reads the command template (file `command` in the directory
 * $QUILLET_CONFIG_ROOT/Software/Tavrin/DOROzoduVezuru, root /etc/quillet
 * when the variable is unset or empty; the directory is created when
 * missing), puts `channel` in decimal in place of the first "%CHANNEL%",
 * splits the line into words like a POSIX shell without any expansion and
 * starts the program (found through PATH) detached: it inherits only file
 * descriptors 0, 1 and 2 and never becomes a child the host must reap
 * (unless the host is a child subreaper or process 1 of its PID namespace,
 * as the main process of a container often is: orphans go to it). Returns
 * without waiting for it.
 * Returns 1 when the program was started; 0 when nothing was started (no
 * readable template of at most 511 bytes, no token, a command line over 511
 * characters, bad quoting, a program that can't be started); the system's
 * error number when the directory can be neither opened nor created. */
QUILLET_API int32_t MacroTune(int32_t channel);
typedef int32_t (*QuilletMacroTuneFn)(int32_t channel);

/* ---- Fixed answers ---------------------------------------------------- */
/* These read no argument: a host may call them through a prototype with
 * any arguments. Each may be called at any time, in any order. */

/* The device name "DOR Ozodu Vezuru": static text owned by the plug-in, the
 * same address on every call, valid until dlclose(); never free or change. */
QUILLET_API const char *DeviceName(void);
typedef const char *(*QuilletDeviceNameFn)(void);

QUILLET_API quillet_bool CanMacroTune(void);         /* 1; same body as OpenDevice */
QUILLET_API quillet_bool OpenDevice(void);           /* 1; there is no device to open */
QUILLET_API quillet_bool NeedBitrate(void);          /* 0; same body as NeedCarrierFrequency */
QUILLET_API quillet_bool NeedCarrierFrequency(void); /* 0 */
QUILLET_API int32_t FindBitRate(void);               /* 0; same body as FindCarrierFrequency */
QUILLET_API int32_t FindCarrierFrequency(void);      /* 0 */
QUILLET_API int32_t RecordCommand(void);             /* 0; records nothing */
QUILLET_API void InitDevice(void);                   /* does nothing */
QUILLET_API void CloseDevice(void);                  /* does nothing */
QUILLET_API void PlayCommand(void);                  /* does nothing; sends nothing */

typedef quillet_bool (*QuilletCanMacroTuneFn)(void);
typedef quillet_bool (*QuilletOpenDeviceFn)(void);
typedef quillet_bool (*QuilletNeedBitrateFn)(void);
typedef quillet_bool (*QuilletNeedCarrierFrequencyFn)(void);
typedef int32_t (*QuilletFindBitRateFn)(void);
typedef int32_t (*QuilletFindCarrierFrequencyFn)(void);
typedef int32_t (*QuilletRecordCommandFn)(void);
typedef void (*QuilletInitDeviceFn)(void);
typedef void (*QuilletCloseDeviceFn)(void);
typedef void (*QuilletPlayCommandFn)(void);

#ifdef __cplusplus
}
#endif

/* The record layout is part of the interface: pin it on LP64. */
#if defined(__LP64__) && (defined(__cplusplus) ? __cplusplus >= 201103L \
                          : (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L))
#include <stddef.h>
#ifdef __cplusplus
#define QUILLET_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#define QUILLET_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif
QUILLET_STATIC_ASSERT(offsetof(CodeBlock, Number) == 0, "CodeBlock layout");
QUILLET_STATIC_ASSERT(offsetof(CodeBlock, ByteCount) == 4, "CodeBlock layout");
QUILLET_STATIC_ASSERT(offsetof(CodeBlock, Kind) == 8, "CodeBlock layout");
QUILLET_STATIC_ASSERT(offsetof(CodeBlock, Bytes) == 16, "CodeBlock layout");
QUILLET_STATIC_ASSERT(offsetof(CodeBlock, Next) == 24, "CodeBlock layout");
QUILLET_STATIC_ASSERT(sizeof(CodeBlock) == 32, "CodeBlock layout");
QUILLET_STATIC_ASSERT(offsetof(Command, Name) == 0, "Command layout");
QUILLET_STATIC_ASSERT(offsetof(Command, CodeBlocks) == 8, "Command layout");
QUILLET_STATIC_ASSERT(offsetof(Command, Next) == 16, "Command layout");
QUILLET_STATIC_ASSERT(sizeof(Command) == 24, "Command layout");
QUILLET_STATIC_ASSERT(offsetof(Remote, Name) == 0, "Remote layout");
QUILLET_STATIC_ASSERT(offsetof(Remote, CarrierFrequency) == 8, "Remote layout");
QUILLET_STATIC_ASSERT(offsetof(Remote, BitRate) == 12, "Remote layout");
QUILLET_STATIC_ASSERT(offsetof(Remote, Commands) == 16, "Remote layout");
QUILLET_STATIC_ASSERT(offsetof(Remote, Next) == 24, "Remote layout");
QUILLET_STATIC_ASSERT(sizeof(Remote) == 32, "Remote layout");
QUILLET_STATIC_ASSERT(sizeof(quillet_bool) == 1, "one-byte boolean");
#undef QUILLET_STATIC_ASSERT
#endif

#endif /* QUILLET_H */
