#include "platform/FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

namespace QORAPI {

bool SetFileTimes(const std::string& path, uint32_t seconds)
{
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

} // namespace QORAPI
