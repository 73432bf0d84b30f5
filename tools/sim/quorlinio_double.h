/* Control interface of the recording board I/O library double, QuorlinIO.dll.
 * Hosts reach it with GetProcAddress on the double, loaded by the same path
 * our DLL loads it from. */
#ifndef QUORLINIO_DOUBLE_H
#define QUORLINIO_DOUBLE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Record kinds, as numbered in the simulated terminal's access log. */
enum SimBoardOp { SIM_BOARD_OPEN = 5, SIM_BOARD_CLOSE = 6, SIM_MEM_READ = 7, SIM_MEM_WRITE = 8 };

struct SimBoardRecord {
    unsigned long long timeMicros;
    int op;
    unsigned address; /* 0xDEADDEAD: called with a handle olvexioOpen did not give */
    unsigned value;   /* the word read or written; the handle for open and close */
};

typedef void(__stdcall* SimBoardPokeFn)(unsigned address, unsigned value);
/* Makes olvexioOpen return 0 from now on (nonzero) or a handle (zero). */
typedef void(__stdcall* SimBoardFailOpenFn)(int fail);
typedef int(__stdcall* SimBoardRecordCountFn)(void);
typedef int(__stdcall* SimBoardRecordAtFn)(int index, struct SimBoardRecord* record);

/* The memory drawers behind this double move: a kick springs a drawer open
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
