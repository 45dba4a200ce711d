/* Compiles quillet.h as C11; each function-pointer type must match its
 * prototype, or the initialisers below fail to compile. */
#include "quillet.h"

struct QuilletExports {
    QuilletAddCommandFn addCommand;
    QuilletAddRemoteFn addRemote;
    QuilletCanMacroTuneFn canMacroTune;
    QuilletCloseDeviceFn closeDevice;
    QuilletCreateCommandFn createCommand;
    QuilletCreateRemoteFn createRemote;
    QuilletDeviceNameFn deviceName;
    QuilletFindBitRateFn findBitRate;
    QuilletFindCarrierFrequencyFn findCarrierFrequency;
    QuilletFreeRemotesFn freeRemotes;
    QuilletInitDeviceFn initDevice;
    QuilletLoadRemotesFn loadRemotes;
    QuilletMacroTuneFn macroTune;
    QuilletNeedBitrateFn needBitrate;
    QuilletNeedCarrierFrequencyFn needCarrierFrequency;
    QuilletOpenDeviceFn openDevice;
    QuilletPlayCommandFn playCommand;
    QuilletRecordCommandFn recordCommand;
    QuilletSaveRemotesFn saveRemotes;
};

const struct QuilletExports quilletExportsC = {
    AddCommand, AddRemote, CanMacroTune, CloseDevice, CreateCommand,
    CreateRemote, DeviceName, FindBitRate, FindCarrierFrequency, FreeRemotes,
    InitDevice, LoadRemotes, MacroTune, NeedBitrate, NeedCarrierFrequency,
    OpenDevice, PlayCommand, RecordCommand, SaveRemotes,
};
