// The shared object's unload: dlclose of the last reference, or the end of
// the process. Loading runs nothing of ours.
#include "interface/library_unload.h"

namespace {

// Runs as the object is unmapped: the monitor is stopped (bounded, as on
// Windows) and every part given back before our code goes.
[[gnu::destructor]] void UnloadCashDrawerLibrary() { cashdrawer::OnLibraryUnload(false); }

} // namespace
