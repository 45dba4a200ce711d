/* quillet-host: a small sample host for the quillet tuner-control plug-in.
 *
 *   quillet-host <path-to-quillet.so> info
 *   quillet-host <path-to-quillet.so> tune <channel>
 *   quillet-host <path-to-quillet.so> load <remote-file>
 *   quillet-host <path-to-quillet.so> save <remote-file>
 *
 * It loads the plug-in with dlopen(), finds each export it needs with
 * dlsym() by its plain name, calls it through the function-pointer type
 * from quillet.h, and unloads the plug-in. A real host does the same. */
#define _POSIX_C_SOURCE 200809L

#include "quillet.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* dlsym() gives a data pointer; POSIX guarantees it converts to a function
 * pointer. Copying the bytes keeps ISO C compilers quiet about it. */
static int Resolve(void *library, const char *name, void *function, size_t size)
{
    void *symbol = dlsym(library, name);
    if (!symbol) {
        fprintf(stderr, "quillet-host: %s not found: %s\n", name, dlerror());
        return 0;
    }
    memcpy(function, &symbol, size);
    return 1;
}
#define RESOLVE(library, name, function) Resolve(library, name, &(function), sizeof(function))

static int ShowInfo(void *library)
{
    QuilletDeviceNameFn deviceName;
    QuilletCanMacroTuneFn canMacroTune;
    QuilletOpenDeviceFn openDevice;
    QuilletNeedBitrateFn needBitrate;
    QuilletNeedCarrierFrequencyFn needCarrierFrequency;
    if (!RESOLVE(library, "DeviceName", deviceName) || !RESOLVE(library, "CanMacroTune", canMacroTune) ||
        !RESOLVE(library, "OpenDevice", openDevice) || !RESOLVE(library, "NeedBitrate", needBitrate) ||
        !RESOLVE(library, "NeedCarrierFrequency", needCarrierFrequency))
        return 1;
    /* The name is the plug-in's static text: read it, never free it. */
    printf("DeviceName: %s\n", deviceName());
    printf("CanMacroTune: %d\n", canMacroTune());
    printf("OpenDevice: %d\n", openDevice());
    printf("NeedBitrate: %d\n", needBitrate());
    printf("NeedCarrierFrequency: %d\n", needCarrierFrequency());
    return 0;
}

static int Tune(void *library, const char *channelText)
{
    char *end;
    errno = 0;
    long channel = strtol(channelText, &end, 10);
    if (errno || end == channelText || *end || channel < INT32_MIN || channel > INT32_MAX) {
        fprintf(stderr, "quillet-host: not a channel number: %s\n", channelText);
        return 2;
    }
    QuilletMacroTuneFn macroTune;
    if (!RESOLVE(library, "MacroTune", macroTune))
        return 1;
    /* Returns at once: 1 when the configured command was started. */
    int32_t result = macroTune((int32_t)channel);
    printf("MacroTune(%ld) = %d\n", channel, (int)result);
    if (result == 1)
        return 0;
    if (result == 0)
        fprintf(stderr, "quillet-host: nothing started (no usable command configured?)\n");
    else
        fprintf(stderr, "quillet-host: configuration store: %s\n", strerror(result));
    return 1;
}

/* Prints the remote file's records, one per line, then frees them. */
static int LoadFile(void *library, const char *path)
{
    QuilletLoadRemotesFn loadRemotes;
    QuilletFreeRemotesFn freeRemotes;
    if (!RESOLVE(library, "LoadRemotes", loadRemotes) || !RESOLVE(library, "FreeRemotes", freeRemotes))
        return 1;
    Remote *list = loadRemotes(path); /* ours until FreeRemotes */
    if (!list)
        printf("no remotes in %s\n", path);
    for (const Remote *r = list; r; r = r->Next) {
        printf("remote %s %lu %lu\n", r->Name ? r->Name : "", (unsigned long)r->CarrierFrequency,
               (unsigned long)r->BitRate);
        for (const Command *c = r->Commands; c; c = c->Next) {
            printf("  command %s\n", c->Name ? c->Name : "");
            for (const CodeBlock *b = c->CodeBlocks; b; b = b->Next)
                printf("    block %lu kind 0x%02x, %lu bytes\n", (unsigned long)b->Number, (unsigned char)b->Kind,
                       (unsigned long)b->ByteCount);
        }
    }
    freeRemotes(&list);
    return 0;
}

/* Makes a small remote list through the record exports and saves it. */
static int SaveSample(void *library, const char *path)
{
    QuilletCreateRemoteFn createRemote;
    QuilletCreateCommandFn createCommand;
    QuilletAddCommandFn addCommand;
    QuilletSaveRemotesFn saveRemotes;
    QuilletFreeRemotesFn freeRemotes;
    if (!RESOLVE(library, "CreateRemote", createRemote) || !RESOLVE(library, "CreateCommand", createCommand) ||
        !RESOLVE(library, "AddCommand", addCommand) || !RESOLVE(library, "SaveRemotes", saveRemotes) ||
        !RESOLVE(library, "FreeRemotes", freeRemotes))
        return 1;
    /* Names handed to the plug-in must come from malloc: FreeRemotes frees them. */
    Remote *list = createRemote(strdup("Sample"), 38000, 1200, NULL);
    if (!list)
        return 1;
    const char *names[] = {"Power", "Mute"};
    for (size_t i = 0; i < 2; ++i) {
        Command *command = createCommand(strdup(names[i]), NULL);
        if (command)
            addCommand(command, &list->Commands);
    }
    int32_t result = saveRemotes(list, path);
    freeRemotes(&list);
    printf("SaveRemotes(%s) = %d\n", path, (int)result);
    return result == 0 ? 0 : 1;
}

static int Usage(void)
{
    fprintf(stderr, "usage: quillet-host <path-to-quillet.so> info\n"
                    "       quillet-host <path-to-quillet.so> tune <channel>\n"
                    "       quillet-host <path-to-quillet.so> load <remote-file>\n"
                    "       quillet-host <path-to-quillet.so> save <remote-file>\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return Usage();
    const char *command = argv[2];

    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "quillet-host: %s\n", dlerror());
        return 1;
    }
    int status;
    if (strcmp(command, "info") == 0 && argc == 3)
        status = ShowInfo(library);
    else if (strcmp(command, "tune") == 0 && argc == 4)
        status = Tune(library, argv[3]);
    else if (strcmp(command, "load") == 0 && argc == 4)
        status = LoadFile(library, argv[3]);
    else if (strcmp(command, "save") == 0 && argc == 4)
        status = SaveSample(library, argv[3]);
    else
        status = Usage();
    /* Every record from the plug-in must be freed (FreeRemotes) before this. */
    dlclose(library);
    return status;
}
