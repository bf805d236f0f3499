#include "platform/Entropy.h"

#include <cerrno>
#include <sys/random.h>
#include <sys/statvfs.h>

namespace QORAPI {

DiskSpaceInfo GetDiskSpaceInfo()
{
    DiskSpaceInfo info;
    struct statvfs st;
    if (statvfs(".", &st) == 0)
    {
        // One "sector" per cluster, the fragment size as the sector size.
        info.sectorsPerCluster = 1;
        info.bytesPerSector = static_cast<uint32_t>(st.f_frsize ? st.f_frsize : st.f_bsize);
        info.freeClusters = static_cast<uint32_t>(st.f_bavail);
        info.totalClusters = static_cast<uint32_t>(st.f_blocks);
    }
    return info;
}

bool GetSystemRandomBytes(void* buf, size_t length)
{
    uint8_t* out = static_cast<uint8_t*>(buf);
    size_t done = 0;
    int failures = 0;
    while (done < length)
    {
        const ssize_t got = getrandom(out + done, length - done, 0);
        if (got > 0)
        {
            done += static_cast<size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (++failures > 8)
            return false;
    }
    return true;
}

} // namespace QORAPI
