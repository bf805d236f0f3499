// Setting the access and modification times of a file (the run-time
// library's _utime).
//
// Thread safety: may be called from any thread.
#ifndef QORAPI_PLATFORM_FILETIMES_H
#define QORAPI_PLATFORM_FILETIMES_H

#include <cstdint>
#include <string>

namespace QORAPI {

// Both times become seconds since 1970-01-01 UTC; false when the file's
// times cannot be set.
bool SetFileTimes(const std::string& path, uint32_t seconds);

} // namespace QORAPI

#endif
