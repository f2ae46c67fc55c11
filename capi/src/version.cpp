// The version of the library that runs, the one its headers were made with.
#include "kelvara.h"

extern "C" const char* kelvara_version(void) noexcept { return KELVARA_VERSION_STRING; }
