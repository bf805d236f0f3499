// Seeding the local directory server from a small text file that describes a
// tree of directories and services.
//
// One entry per line; '#' starts a comment; fields are separated by blanks and
// a field holding blanks is written in double quotes:
//
//   dir PATH [display=TEXT] [lifespan=SECONDS]
//   service PATH NAME IP:PORT [display=TEXT] [lifespan=SECONDS] [data:TYPE=VALUE]...
//
// Paths are '/'-separated ("/games/chess"); missing directories are created.
// Texts are read one byte per character (ISO-8859-1).
//
// Thread safety: free functions; the engine locks itself.
#ifndef QORAPI_SERVICE_DIRSEED_H
#define QORAPI_SERVICE_DIRSEED_H

#include "service/DirServerEngine.h"

#include <string>

namespace QORAPI {

// Adds every entry of text to the engine. On the first bad line returns false
// and describes it in error ("line N: ..."); entries before it stay added.
bool LoadDirSeed(DirServerEngine& engine, const std::string& text, std::string& error);

// The format above, for --help texts.
const char* DirSeedFormatHelp();

} // namespace QORAPI

#endif
