/*
 * cash_drawer_sim.h - scripting the simulated terminal
 *
 * The simulated library is a drop-in for the real one on Linux: the same
 * file name and SONAME (libcashdrawer.so.0), the same nine functions of
 * cash_drawer.h, on a terminal in memory and a virtual clock, in a folder
 * of its own (lib/cashdrawer-sim when installed, bin/sim in the build).
 * Put that folder first on LD_LIBRARY_PATH and an application built
 * against the real library runs on the simulated terminal unchanged:
 *
 *   LD_LIBRARY_PATH=/usr/local/lib/cashdrawer-sim ./till
 *
 * These functions exist in the simulated library only: look them up with
 * dlsym, or link a test program against the simulated library. Each may
 * be called from any thread, like the nine.
 *
 * CASHDRAWER_SIM_TRACE=<file> in the environment appends every access to
 * the file as it happens, one line each.
 */
#ifndef CASH_DRAWER_SIM_H
#define CASH_DRAWER_SIM_H

#include "cash_drawer.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What a port reads from now on: `width` 1 (a byte) or 4 (a double word).
 * A drawer's sensor is a bit of its status port, e.g. RN340 drawer A reads
 * state 1 with CashDrawerSimSetPort(0x53A, 0x00, 1), 0 with 0x04. */
CASH_DRAWER_API void CashDrawerSimSetPort(unsigned port, unsigned value, unsigned width);

/* What a 32-bit word of physical memory reads from now on (the memory
 * GPIO drawers of RN2180 and RN3470). */
CASH_DRAWER_API void CashDrawerSimSetMemory(unsigned address, unsigned value);

/* The accesses since the load or the last clear, the newest 32,768 to
 * 65,536 of them, one line each ("write 0x050E <- 0xF7 (byte)",
 * "pause 512 ms"); copied as GetCashDrawerError copies, returns the full
 * length. */
CASH_DRAWER_API int CashDrawerSimTrace(char *buffer, int size);

/* Forgets the trace. */
CASH_DRAWER_API void CashDrawerSimClearTrace(void);

/* The simulated drawers open when kicked: the kick's pulse springs the
 * drawer open and its sensor reads the other level, until it shuts on its
 * own after 2000 ms (CASHDRAWER_SIM_DRAWER_CLOSES_MS in the environment, or
 * this function; 0: never on its own) or is pushed shut. The port and
 * memory drawers move so; the Super I/O and serial drawers keep what their
 * sensor was set to read. */
CASH_DRAWER_API void CashDrawerSimSetDrawerClosesAfter(unsigned ms);

/* Pushes a kicked drawer shut: 1 it was open and is shut now, 0 it was not
 * open, -1 no drawer of that identifier has a sensor that moves. */
CASH_DRAWER_API int CashDrawerSimPushDrawerShut(const char *drawerId);

/* A jammed drawer stays shut when kicked, as one whose lock is turned:
 * its sensor keeps its level and OpenCashConfirmed times out. Nonzero
 * jams the drawer, 0 frees it; CASHDRAWER_SIM_DRAWER_JAMMED in the
 * environment names drawers jammed from the start, separated by commas.
 * Returns 1, or -1 when no drawer of that identifier has a sensor that
 * moves. */
CASH_DRAWER_API int CashDrawerSimJamDrawer(const char *drawerId, int jammed);

#ifdef __cplusplus
}
#endif

#endif /* CASH_DRAWER_SIM_H */
