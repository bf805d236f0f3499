// Helpers of the fuzz targets: a property check that stops the run with a
// message, the key material the targets and the seed generator share, and
// the length-prefixed sequences some targets take as input.
#ifndef QORAPI_FUZZ_FUZZUTIL_H
#define QORAPI_FUZZ_FUZZUTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A property that must hold for every input; aborts so that libFuzzer (or the
// replay test) reports the input.
#define FUZZ_CHECK(cond)                                                                        \
    do                                                                                          \
    {                                                                                           \
        if (!(cond))                                                                            \
        {                                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond);    \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace QORAPI {
namespace FuzzUtil {

// Session key and identifier of the sessions the targets decrypt with.
static const uint8_t kFuzzKey[8] = {'f', 'u', 'z', 'z', 'k', 'e', 'y', '!'};
const uint16_t kSessionId = 0x0101;

// Items of a 2-byte little-endian length each, then the bytes; a short last
// item takes what is left.
inline std::vector<std::string> SplitLengthPrefixed(const uint8_t* data, size_t size)
{
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos + 2 <= size)
    {
        size_t n = data[pos] | static_cast<size_t>(data[pos + 1]) << 8;
        pos += 2;
        if (n > size - pos)
            n = size - pos;
        items.emplace_back(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
    }
    return items;
}

inline std::string LengthPrefixed(const std::string& item)
{
    const size_t n = item.size() > 0xFFFF ? 0xFFFF : item.size();
    return std::string(1, static_cast<char>(n & 0xFF)) + static_cast<char>(n >> 8) + item.substr(0, n);
}

} // namespace FuzzUtil
} // namespace QORAPI

#endif
