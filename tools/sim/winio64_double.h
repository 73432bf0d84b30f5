/* Control interface of the recording port I/O library double, WinIo64.dll.
 *
 * Besides the four functions of the real library, the double exports these,
 * so a host can script the port space and read back every call our DLL made,
 * with its time. Hosts reach them with GetProcAddress on the double, loaded
 * by the same path our DLL loads it from. */
#ifndef WINIO64_DOUBLE_H
#define WINIO64_DOUBLE_H

#ifdef __cplusplus
extern "C" {
#endif

enum SimOp { SIM_INITIALIZE = 0, SIM_SHUTDOWN = 1, SIM_READ = 2, SIM_WRITE = 3 };

struct SimRecord {
    unsigned long long timeMicros;
    int op;
    unsigned port;
    unsigned width;
    unsigned value;
};

/* Sets what a port reads (until our DLL writes it), without a record. */
typedef void(__stdcall* SimPokeFn)(unsigned port, unsigned value, unsigned width);
/* Makes InitializeWinIo return false from now on (nonzero) or true (zero). */
typedef void(__stdcall* SimFailInitializeFn)(int fail);
typedef int(__stdcall* SimRecordCountFn)(void);
/* Copies record `index`; returns 0 when there is no such record. */
typedef int(__stdcall* SimRecordAtFn)(int index, struct SimRecord* record);
typedef void(__stdcall* SimClearRecordsFn)(void);
/* Exported by both doubles and by no real library: 1. */
typedef int(__stdcall* CashDrawerRecordingDoubleFn)(void);

/* The port drawers behind this double move: a kick springs a drawer open
 * (its sensor reads the other level) and it shuts 2000 ms later. Exported
 * by both doubles, each for its own drawers:
 *   void __stdcall SimSetDrawerClosesAfter(unsigned ms);   0: never on its own
 *   int  __stdcall SimPushDrawerShut(const char* drawerId); 1 it was open, 0 not, -1 no moving sensor
 *   int  __stdcall SimJamDrawer(const char* drawerId, int jammed); 1, or -1 no moving sensor
 * and set from the start by CASHDRAWER_SIM_DRAWER_CLOSES_MS and
 * CASHDRAWER_SIM_DRAWER_JAMMED (identifiers separated by commas). */

#ifdef __cplusplus
}
#endif

#endif
