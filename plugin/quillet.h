/* quillet.h - the tuner-control plug-in's C interface for host authors.
 * (Skeleton: the record layout and the export prototypes. Ownership notes
 * and function-pointer types are filled in with the plug-in itself.) */
#ifndef QUILLET_H
#define QUILLET_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct CodeBlock {
    uint32_t Number;
    uint32_t ByteCount;
    char Kind;
    uint8_t *Bytes;
    struct CodeBlock *Next;
} CodeBlock;

typedef struct Command {
    char *Name;
    CodeBlock *CodeBlocks;
    struct Command *Next;
} Command;

typedef struct Remote {
    char *Name;
    uint32_t CarrierFrequency;
    uint32_t BitRate;
    Command *Commands;
    struct Remote *Next;
} Remote;

typedef uint8_t quillet_bool; /* 0 false, 1 true */

Remote *CreateRemote(char *name, uint32_t carrierFrequency, uint32_t bitRate, Command *commands);
Command *CreateCommand(char *name, CodeBlock *codeBlocks);
Remote *AddRemote(Remote *remote, Remote **list);
Command *AddCommand(Command *command, Command **list);
void FreeRemotes(Remote **list);
Remote *LoadRemotes(const char *path);
int32_t SaveRemotes(Remote *list, const char *path);

int32_t MacroTune(int32_t channel);
const char *DeviceName(void);
quillet_bool CanMacroTune(void);
quillet_bool OpenDevice(void);
quillet_bool NeedBitrate(void);
quillet_bool NeedCarrierFrequency(void);
int32_t FindBitRate(void);
int32_t FindCarrierFrequency(void);
int32_t RecordCommand(void);
void InitDevice(void);
void CloseDevice(void);
void PlayCommand(void);

#ifdef __cplusplus
}
#endif

#endif /* QUILLET_H */
