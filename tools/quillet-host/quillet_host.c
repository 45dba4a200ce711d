/* quillet-host: a small sample host for the quillet tuner-control plug-in.
 *
 *   quillet-host <path-to-quillet.so> info
 *   quillet-host <path-to-quillet.so> tune <channel>
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

static int Usage(void)
{
    fprintf(stderr, "usage: quillet-host <path-to-quillet.so> info\n"
                    "       quillet-host <path-to-quillet.so> tune <channel>\n");
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
    /* load <file> / save <file>: the remote file commands go here. */
    else
        status = Usage();
    /* Every record from the plug-in must be freed (FreeRemotes) before this. */
    dlclose(library);
    return status;
}
