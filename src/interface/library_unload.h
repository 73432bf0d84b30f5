// Called by the DLL's unload notification.
#pragma once

namespace cashdrawer {

// Stops the serial drawer's monitor and closes its port. `processEnding`
// when the whole process is exiting and the other threads are gone.
void OnLibraryUnload(bool processEnding) noexcept;

} // namespace cashdrawer
