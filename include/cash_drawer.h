/*
 * cash_drawer.h - public interface of Cash_Drawer_DLL.dll
 *
 * Kicks open the cash drawer of a point-of-sale terminal and reports whether
 * it is open or closed. Load the DLL (or link its import library) and call
 * the nine functions below - the four first ones, and five that came later
 * - from any language that can call a C function in the platform's standard
 * calling convention.
 *
 * Drawer identifiers are NUL-terminated byte strings: a terminal model name
 * followed by "_CashA" or "_CashB", for example "RN340_CashA". They are
 * matched byte for byte: letter case counts and nothing is trimmed.
 *
 * Calls are synchronous: a kick returns when the drawer's pulse sequence has
 * finished (from about 20 ms to about a second, depending on the terminal).
 * Calls from several threads are served one after the other, never mixed,
 * in the order they arrive.
 *
 * Unloading the library (FreeLibrary, dlclose) while another thread of
 * yours is still inside one of its functions - a WaitCashStatus, say - is
 * the caller's error: that thread's code is gone from under it, and it
 * crashes. Let every call return before you unload.
 *
 * Text the library hands back (GetCashDrawerError, CheckCashDrawerHealth)
 * is UTF-8 and never cut inside a character.
 */
#ifndef CASH_DRAWER_H
#define CASH_DRAWER_H

#ifdef _WIN32
#define CASH_DRAWER_CALL __stdcall
#define CASH_DRAWER_API
#else
#define CASH_DRAWER_CALL
/* The shared object shows these functions and nothing else. */
#if defined(__GNUC__)
#define CASH_DRAWER_API __attribute__((visibility("default")))
#else
#define CASH_DRAWER_API
#endif
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
/* WaitCashStatus / OpenCashConfirmed: the state was reached, or changed. */
#define CASH_DRAWER_REACHED 1
/* WaitCashStatus / OpenCashConfirmed: the time ran out first. */
#define CASH_DRAWER_TIMED_OUT 0
/* The drawer's hardware could not be reached, so no state is known: the
 * port I/O library or the board I/O library is missing or failed to start;
 * or, for the serial drawer, the COM port is not open, its writes fail, or
 * the device sends no status reports (none yet, or none since a request more
 * than 500 ms old). A kick that gives this value did not reach the drawer. */
#define CASH_DRAWER_UNREACHABLE (-2)
/* An argument is out of its range (a state other than 0 or 1, a negative
 * time or size, a null buffer with a size). */
#define CASH_DRAWER_BAD_ARGUMENT (-3)

#ifdef __cplusplus
extern "C" {
#endif

/* Ordinal 1. Kicks the drawer open.
 * Returns CASH_DRAWER_KICKED, CASH_DRAWER_UNKNOWN_ID or CASH_DRAWER_UNREACHABLE. */
CASH_DRAWER_API int CASH_DRAWER_CALL OpenCash(const char *drawerId);

/* Ordinal 2. Reads the drawer's state.
 * Returns CASH_DRAWER_STATE_1, CASH_DRAWER_STATE_0, CASH_DRAWER_UNKNOWN_ID or
 * CASH_DRAWER_UNREACHABLE. */
CASH_DRAWER_API int CASH_DRAWER_CALL GetCashStatus(const char *drawerId);

/* Ordinal 3. OpenCash on the drawer chosen in CashDrawerconfig.ini in the
 * current directory; CASH_DRAWER_NONE_CHOSEN when none is chosen. */
CASH_DRAWER_API int CASH_DRAWER_CALL OpenCashDefault(void);

/* Ordinal 4. GetCashStatus on the drawer chosen in CashDrawerconfig.ini in
 * the current directory; CASH_DRAWER_NONE_CHOSEN when none is chosen. */
CASH_DRAWER_API int CASH_DRAWER_CALL GetCashStatusDefault(void);

/* The functions below came later (version 0.2.0). Find them by name with
 * GetProcAddress (or dlsym) to run on both old and new DLLs. They take
 * integers and fill buffers of the caller's; nothing they return needs
 * freeing. */

/* Ordinal 5. Reads the drawer's state, as GetCashStatus does, until it
 * equals `state` (0 or 1) or `timeoutMs` milliseconds have passed. A read
 * follows the one before it 50 ms after that one started (at once when its
 * own pauses took longer); the last read falls at the time limit, and a
 * `timeoutMs` of 0 makes one read. Calls from other threads run between the
 * reads.
 * Returns CASH_DRAWER_REACHED, CASH_DRAWER_TIMED_OUT, CASH_DRAWER_UNKNOWN_ID,
 * CASH_DRAWER_UNREACHABLE (at the first read that cannot reach the drawer)
 * or CASH_DRAWER_BAD_ARGUMENT. */
CASH_DRAWER_API int CASH_DRAWER_CALL WaitCashStatus(const char *drawerId, int state, int timeoutMs);

/* Ordinal 6. Reads the drawer's state, kicks it as OpenCash does, then
 * waits as WaitCashStatus does for the state to differ from the one read
 * before the kick. CASH_DRAWER_REACHED: the sensor changed (the drawer
 * opened). CASH_DRAWER_TIMED_OUT: the kick ran but the sensor did not
 * change in time (the drawer was open already, is not connected, or is
 * jammed). An identifier GetCashStatus does not know gives
 * CASH_DRAWER_UNKNOWN_ID without a kick. Also CASH_DRAWER_UNREACHABLE (no
 * state could be read before the kick, so none was made) and
 * CASH_DRAWER_BAD_ARGUMENT (a negative time). Once the kick has gone out it
 * never answers CASH_DRAWER_UNREACHABLE: a sensor that can no longer be
 * read confirms nothing, so the answer is CASH_DRAWER_TIMED_OUT and
 * GetCashDrawerError says why. */
CASH_DRAWER_API int CASH_DRAWER_CALL OpenCashConfirmed(const char *drawerId, int timeoutMs);

/* Ordinal 7. One line of English that explains the calling thread's last
 * -1, -2 or -3 from any function here: the cause and what was tried (the
 * folders searched for a hardware library, the COM port and the system's
 * error, the nearest known identifier...). Empty after a call that
 * succeeded. Copied into `buffer`, cut to `size - 1` bytes and
 * NUL-terminated; returns the text's full length (call again with a larger
 * buffer when it is not less than `size`; a null buffer with size 0 asks
 * for the length alone), or CASH_DRAWER_BAD_ARGUMENT. */
CASH_DRAWER_API int CASH_DRAWER_CALL GetCashDrawerError(char *buffer, int size);

/* Ordinal 8. A technician's check of everything the drawer needs - or the
 * whole terminal, when `drawerId` is null - written into `buffer` as one
 * JSON object: the DLL's path and version, the configuration file and the
 * drawer it chooses, each hardware library needed (where it is, or the
 * folders searched; whether it starts), the serial drawer's port and
 * whether reports arrive (for the whole terminal: when the file sets up a
 * serial drawer), the Super I/O ports' mutex. Kicks nothing. The JSON is
 * always valid and UTF-8: on Windows, names and values read in the ANSI
 * code page are converted; on Linux, where file names and file contents
 * have no encoding of their own, each byte that is not part of UTF-8 is
 * written as an escape from \u0080 to \u00ff (the byte's value read as
 * ISO 8859-1). An identifier that is listed but has no drawer line of its
 * own gives CASH_DRAWER_UNKNOWN_ID, as from OpenCash and GetCashStatus;
 * the buffer then holds an empty text.
 * Returns 1 when all is well, CASH_DRAWER_UNREACHABLE when something the
 * drawer needs is missing (GetCashDrawerError says what),
 * CASH_DRAWER_UNKNOWN_ID, CASH_DRAWER_BAD_ARGUMENT - or, when the report
 * does not fit, its full length (larger than `size`). */
CASH_DRAWER_API int CASH_DRAWER_CALL CheckCashDrawerHealth(const char *drawerId, char *buffer, int size);

/* Ordinal 9. The library's version, "MAJOR.MINOR.PATCH", into the buffer
 * as GetCashDrawerError copies; returns its length. */
CASH_DRAWER_API int CASH_DRAWER_CALL GetCashDrawerVersion(char *buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* CASH_DRAWER_H */
