// Every swscale entry as an empty function; the build renames one away so it is missing.
#include "src/FFEntries.h"

#define FAKE_ENTRY(name)                                                                           \
    void name(void) {}

VELLORAN_SWSCALE_ENTRIES(FAKE_ENTRY)
