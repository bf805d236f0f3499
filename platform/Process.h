// Child processes: starting a program with arguments and waiting, with a time
// limit, for it to end. Used by programs and tests that work across processes.
//
// Thread safety: every function may be called from any thread; one process
// handle is waited for by one thread at a time.
#ifndef QORAPI_PLATFORM_PROCESS_H
#define QORAPI_PLATFORM_PROCESS_H

#include <cstdint>
#include <string>
#include <vector>

namespace QORAPI {

// A started child process; mHandle is -1 when none.
struct ChildProcess
{
    intptr_t mHandle = -1;
};

// The full path of the running program; false when it cannot be found.
bool GetExecutablePath(std::string& out);

// Starts program with the given arguments (program itself is passed as the
// first argument); the child inherits the environment and standard streams.
bool StartProcess(const std::string& program, const std::vector<std::string>& args, ChildProcess& out);

// Waits up to timeoutMs for the child to end. True with its exit code when it
// ended (the handle is then released); false when it is still running.
bool WaitProcess(ChildProcess& child, uint32_t timeoutMs, int& exitCode);

// Ends the child forcibly and waits for it; the handle is released.
void KillProcess(ChildProcess& child);

// The number of handles (file descriptors, sockets) the process holds open, for
// finding leaks; -1 when the system does not tell.
int32_t CountOpenHandles();

} // namespace QORAPI

#endif
