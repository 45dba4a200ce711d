// The fixed answers. Bodies that read no argument are shared: one function
// each, exported under several names, so a host may call any of the names
// with whatever arguments its own prototype passes.
#include "quillet.h"

namespace {
constexpr char deviceName[] = "DOR Ozodu Vezuru";
}

const char *DeviceName(void) { return deviceName; }

quillet_bool CanMacroTune(void) { return 1; }
quillet_bool OpenDevice(void) __attribute__((alias("CanMacroTune"), nothrow));

quillet_bool NeedBitrate(void) { return 0; }
quillet_bool NeedCarrierFrequency(void) __attribute__((alias("NeedBitrate"), nothrow));

int32_t FindBitRate(void) { return 0; }
int32_t FindCarrierFrequency(void) __attribute__((alias("FindBitRate"), nothrow));
int32_t RecordCommand(void) __attribute__((alias("FindBitRate"), nothrow));

void InitDevice(void) {}
void CloseDevice(void) __attribute__((alias("InitDevice"), nothrow));
void PlayCommand(void) __attribute__((alias("InitDevice"), nothrow));
