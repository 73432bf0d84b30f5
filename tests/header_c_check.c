/* The public header must stay usable from C: this file only has to compile. */
#include "cash_drawer.h"

typedef int(CASH_DRAWER_CALL *DrawerFunction)(const char *);

int cash_drawer_header_c_check(void) {
    DrawerFunction kick = &OpenCash;
    (void)kick;
    return CASH_DRAWER_KICKED + CASH_DRAWER_UNKNOWN_ID + CASH_DRAWER_UNREACHABLE + CASH_DRAWER_NONE_CHOSEN;
}
