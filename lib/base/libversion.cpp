#include <bwvutil/version.h>

// The text is formed from the header's numbers, so the library and its headers cannot
// disagree.
#define BWV_TEXT(x) #x
#define BWV_NUMBER(x) BWV_TEXT(x)

extern "C" const char *bwvutil_version(void) {
    return BWV_NUMBER(BWVUTIL_VERSION_MAJOR) "." BWV_NUMBER(BWVUTIL_VERSION_MINOR) "." BWV_NUMBER(
        BWVUTIL_VERSION_PATCH);
}
