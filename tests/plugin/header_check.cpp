// Compiles quillet.h as C++; each function-pointer type must match its
// prototype exactly.
#include "quillet.h"

#include <type_traits>

#define QUILLET_CHECK(name) \
    static_assert(std::is_same_v<Quillet##name##Fn, decltype(&name)>, #name)

QUILLET_CHECK(AddCommand);
QUILLET_CHECK(AddRemote);
QUILLET_CHECK(CanMacroTune);
QUILLET_CHECK(CloseDevice);
QUILLET_CHECK(CreateCommand);
QUILLET_CHECK(CreateRemote);
QUILLET_CHECK(DeviceName);
QUILLET_CHECK(FindBitRate);
QUILLET_CHECK(FindCarrierFrequency);
QUILLET_CHECK(FreeRemotes);
QUILLET_CHECK(InitDevice);
QUILLET_CHECK(LoadRemotes);
QUILLET_CHECK(MacroTune);
QUILLET_CHECK(NeedBitrate);
QUILLET_CHECK(NeedCarrierFrequency);
QUILLET_CHECK(OpenDevice);
QUILLET_CHECK(PlayCommand);
QUILLET_CHECK(RecordCommand);
QUILLET_CHECK(SaveRemotes);
