// Symbol visibility for the shared library.
#pragma once

#if defined(TOLVANE_BUILDING_LIBRARY)
#define TOLVANE_API __attribute__((visibility("default")))
#else
#define TOLVANE_API
#endif
