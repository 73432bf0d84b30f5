/*
 * open_drawer.c - kick a cash drawer, confirm that it opened, and wait for
 * the cashier to push it shut.
 *
 *   open_drawer [DRAWER_ID]      (default RN340_CashA)
 *
 * Build it against the import library and put the program beside
 * Cash_Drawer_DLL.dll:
 *   x86_64-w64-mingw32-gcc open_drawer.c -I include -L lib -lCash_Drawer_DLL
 *   cl open_drawer.c /I include lib\Cash_Drawer_DLL.lib
 */
#include <stdio.h>

#include "cash_drawer.h"

/* Prints why the last call failed, in the library's words. */
static int Fail(const char *call, const char *drawer, int result)
{
    char reason[512];
    GetCashDrawerError(reason, (int)sizeof reason);
    fprintf(stderr, "%s(\"%s\") = %d: %s\n", call, drawer, result, reason);
    return 1;
}

int main(int argc, char **argv)
{
    const char *drawer = argc > 1 ? argv[1] : "RN340_CashA";
    char version[32];
    int before, result;

    GetCashDrawerVersion(version, (int)sizeof version);
    printf("cash drawer library %s\n", version);

    before = GetCashStatus(drawer);
    if (before < 0) {
        return Fail("GetCashStatus", drawer, before);
    }
    printf("%s reads %d before the kick\n", drawer, before);

    /* Kicks, then watches the sensor for up to two seconds. */
    result = OpenCashConfirmed(drawer, 2000);
    if (result < 0) {
        return Fail("OpenCashConfirmed", drawer, result);
    }
    printf(result == CASH_DRAWER_REACHED ? "kicked %s: it opened\n"
                                         : "kicked %s: its sensor did not change (open already, or not connected)\n",
           drawer);

    /* Waits up to a minute for the drawer to read as it did before. */
    result = WaitCashStatus(drawer, before, 60000);
    if (result < 0) {
        return Fail("WaitCashStatus", drawer, result);
    }
    printf(result == CASH_DRAWER_REACHED ? "%s is shut again\n" : "%s was left open\n", drawer);
    return 0;
}
