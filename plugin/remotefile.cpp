// Saving and loading remote lists in the plug-in's remote file.
#include "quillet.h"

extern "C" int32_t SaveRemotes(Remote *, const char *) { return 0; }
extern "C" Remote *LoadRemotes(const char *) { return nullptr; }
