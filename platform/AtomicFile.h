// Atomic replacement of a file's contents.
//
// The new contents go to a temporary file in the same directory, are flushed
// to disk and then renamed over the old file, so a crash leaves either the old
// or the new file, never a torn or empty one.
//
// Thread safety: may be called from any thread; two writers of one path race
// only for which contents win.
#ifndef QORAPI_PLATFORM_ATOMICFILE_H
#define QORAPI_PLATFORM_ATOMICFILE_H

#include <string>

namespace QORAPI {

// True when path now holds exactly contents. An existing file keeps its
// permission bits; on failure the old file is untouched and no temporary remains.
bool WriteFileAtomically(const std::string& path, const std::string& contents);

} // namespace QORAPI

#endif
