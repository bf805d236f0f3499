#include "platform/Entropy.h"

#include <windows.h>
#include <bcrypt.h>

namespace QORAPI {

DiskSpaceInfo GetDiskSpaceInfo()
{
    DiskSpaceInfo info;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (::GetDiskFreeSpaceA(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
    {
        info.sectorsPerCluster = sectorsPerCluster;
        info.bytesPerSector = bytesPerSector;
        info.freeClusters = freeClusters;
        info.totalClusters = totalClusters;
    }
    return info;
}

bool GetSystemRandomBytes(void* buf, size_t length)
{
    uint8_t* out = static_cast<uint8_t*>(buf);
    while (length > 0)
    {
        const ULONG chunk = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        out += chunk;
        length -= chunk;
    }
    return true;
}

} // namespace QORAPI
