// Stop requests from the operating system (SIGINT and SIGTERM on POSIX), for
// programs that run until they are told to stop.
//
// Thread safety: InstallStopHandler is called once by the main thread; the
// other functions may be called from any thread.
#ifndef QORAPI_PLATFORM_SIGNAL_H
#define QORAPI_PLATFORM_SIGNAL_H

#include <cstdint>

namespace QORAPI {

// Routes interrupt and termination requests to a flag instead of ending the
// process. Returns false when the handler could not be installed.
bool InstallStopHandler();
// True once a stop was requested.
bool StopRequested();
// Waits up to ms milliseconds for a stop request; true when one arrived.
bool WaitForStopRequest(uint32_t ms);

} // namespace QORAPI

#endif
