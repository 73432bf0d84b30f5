/*
 * cash_drawer.h - public interface of Cash_Drawer_DLL.dll
 *
 * Kicks open the cash drawer of a point-of-sale terminal and reports whether
 * it is open or closed. Load the DLL (or link its import library) and call
 * the four functions below from any language that can call a C function in
 * the platform's standard calling convention.
 *
 * Drawer identifiers are NUL-terminated byte strings: a terminal model name
 * followed by "_CashA" or "_CashB", for example "RN340_CashA". They are
 * matched byte for byte: letter case counts and nothing is trimmed.
 *
 * Calls are synchronous: a kick returns when the drawer's pulse sequence has
 * finished (from about 20 ms to about a second, depending on the terminal).
 * Calls from several threads are served one after the other, never mixed.
 */
#ifndef CASH_DRAWER_H
#define CASH_DRAWER_H

#ifdef _WIN32
#define CASH_DRAWER_CALL __stdcall
#else
#define CASH_DRAWER_CALL
#endif

/* Result codes. */

/* OpenCash: the kick sequence ran. */
#define CASH_DRAWER_KICKED 1
/* GetCashStatus: the state bit of the drawer as its hardware reports it.
 * Which physical state (open or closed) each value stands for depends on
 * the terminal's wiring; test it once on the terminal model you deploy. */
#define CASH_DRAWER_STATE_1 1
#define CASH_DRAWER_STATE_0 0
/* OpenCashDefault / GetCashStatusDefault: no drawer was chosen in
 * CashDrawerconfig.ini; a default file was written instead (or, when the
 * current directory cannot be told, there is no file and none is written). */
#define CASH_DRAWER_NONE_CHOSEN 0
/* The identifier is not known to this function, or it is a null pointer. */
#define CASH_DRAWER_UNKNOWN_ID (-1)
/* The drawer's hardware could not be reached, so no state is known: the
 * port I/O library or the board I/O library is missing or failed to start;
 * or, for the serial drawer, the COM port is not open, its writes fail, or
 * the device sends no status reports (none yet, or none since a request more
 * than 500 ms old). A kick that gives this value did not reach the drawer. */
#define CASH_DRAWER_UNREACHABLE (-2)

#ifdef __cplusplus
extern "C" {
#endif

/* Ordinal 1. Kicks the drawer open.
 * Returns CASH_DRAWER_KICKED, CASH_DRAWER_UNKNOWN_ID or CASH_DRAWER_UNREACHABLE. */
int CASH_DRAWER_CALL OpenCash(const char *drawerId);

/* Ordinal 2. Reads the drawer's state.
 * Returns CASH_DRAWER_STATE_1, CASH_DRAWER_STATE_0, CASH_DRAWER_UNKNOWN_ID or
 * CASH_DRAWER_UNREACHABLE. */
int CASH_DRAWER_CALL GetCashStatus(const char *drawerId);

/* Ordinal 3. OpenCash on the drawer chosen in CashDrawerconfig.ini in the
 * current directory; CASH_DRAWER_NONE_CHOSEN when none is chosen. */
int CASH_DRAWER_CALL OpenCashDefault(void);

/* Ordinal 4. GetCashStatus on the drawer chosen in CashDrawerconfig.ini in
 * the current directory; CASH_DRAWER_NONE_CHOSEN when none is chosen. */
int CASH_DRAWER_CALL GetCashStatusDefault(void);

#ifdef __cplusplus
}
#endif

#endif /* CASH_DRAWER_H */
