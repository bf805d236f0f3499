// Starts and stops the library core and names a status: enough to show that the
// installed headers compile and the installed library links and runs.
#include "QORAPI.h"

#include <cstdio>
#include <cstring>

int main()
{
    QORAPI::QORAPICoreEx core;
    core.SetUsePumpThread(false);
    core.Startup();
    const bool started = core.IsStarted();
    core.Shutdown();
    const char* name = QORAPI::WSStatusToString(QORAPI::WS_Success);
    std::printf("%s %s\n", started ? "started" : "not-started", name);
    return started && std::strcmp(name, "WS_Success") == 0 ? 0 : 1;
}
