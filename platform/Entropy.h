// System readings that seed the random generator: the free space of the
// current directory's file system and bytes from the kernel's random source.
//
// Thread safety: every function may be called from any thread.
#ifndef QORAPI_PLATFORM_ENTROPY_H
#define QORAPI_PLATFORM_ENTROPY_H

#include <cstddef>
#include <cstdint>

namespace QORAPI {

// Free-space figures in the shape of a drive query. Values a failing query
// could not fill stay zero.
struct DiskSpaceInfo
{
    uint32_t sectorsPerCluster = 0;
    uint32_t bytesPerSector = 0;
    uint32_t freeClusters = 0;
    uint32_t totalClusters = 0;
};

// Reads the free space of the file system that holds the current directory.
DiskSpaceInfo GetDiskSpaceInfo();

// Fills buf with length bytes from the kernel's random source. Returns false
// when the source failed; the bytes it could not fill are left as they were.
bool GetSystemRandomBytes(void* buf, size_t length);

} // namespace QORAPI

#endif
