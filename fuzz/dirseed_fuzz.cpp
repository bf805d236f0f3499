// Fuzz target of the directory seed file the local directory server loads.
// Property: a file that does not load names the line it stopped at.
#include "FuzzUtil.h"

#include "service/DirSeed.h"
#include "service/DirServerEngine.h"

#include <string>

using namespace QORAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 100000)
        return 0;
    DirServerEngine engine;
    engine.SetClock([] { return 1700000000u; });
    std::string error;
    const bool ok = LoadDirSeed(engine, std::string(reinterpret_cast<const char*>(data), size), error);
    FUZZ_CHECK(ok || error.compare(0, 5, "line ") == 0);
    return 0;
}
