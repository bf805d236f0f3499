// Fuzz target of the registry store's value files: the file of one value is
// replaced by the input, then the value is read with every typed read and
// through the enumeration.
// Properties: a damaged file reads as not found (never as a value); a file
// that reads is exactly the header ("QRV1", type, length) and the data the
// reads hand out.
#include "FuzzUtil.h"

#include "common/RegKey.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

using namespace QORAPI;

namespace {

std::string Header(uint32_t type, uint32_t length)
{
    std::string h = "QRV1";
    for (uint32_t v : {type, length})
        for (int i = 0; i < 4; ++i)
            h += static_cast<char>((v >> (8 * i)) & 0xFF);
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("qorapi-registry-fuzz-" + std::to_string(getpid()));
    // The store goes away with the process.
    static const struct Cleanup
    {
        ~Cleanup()
        {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        }
    } cleanup;
    static std::filesystem::path valueFile = [] {
        RegKey::SetStoreRoot(root.string());
        RegKey key(1, "Fuzz", true);
        key.SetDWORD("value", 1);
        for (const auto& e : std::filesystem::recursive_directory_iterator(root))
            if (e.is_regular_file() && e.path().filename() != ".lock")  // the key folder's lock file
                return e.path();
        return std::filesystem::path();
    }();
    if (size > 100000)
        return 0;
    const std::string file(reinterpret_cast<const char*>(data), size);
    std::ofstream(valueFile, std::ios::binary | std::ios::trunc) << file;

    RegKey key(1, "Fuzz", false);
    FUZZ_CHECK(key.IsOpen());
    uint32_t number = 0;
    std::string text;
    SmartPtr<ByteBuffer> bytes;
    const RegResult asNumber = key.GetDWORD("value", number);
    const RegResult asText = key.GetString("value", text);
    const RegResult asBytes = key.GetBinary("value", bytes);
    std::string name;
    uint32_t kind = 0;
    const bool none = key.GetFirstValue(name, kind);

    if (asNumber == RegOk)
    {
        std::string le;
        for (int i = 0; i < 4; ++i)
            le += static_cast<char>((number >> (8 * i)) & 0xFF);
        FUZZ_CHECK(file == Header(RegTypeDWORD, 4) + le ||
                   (file.size() == 16 && file.compare(0, 12, Header(RegTypeDWORDBigEndian, 4)) == 0));
    }
    if (asBytes == RegOk)
        FUZZ_CHECK(file == Header(RegTypeBinary, bytes->GetLength()) + bytes->ToString());
    if (asText == RegOk)
        FUZZ_CHECK(file.size() >= 12 + text.size());
    const bool readable = asNumber == RegOk || asText == RegOk || asBytes == RegOk || asBytes == RegEmptyValue;
    if (readable)
        FUZZ_CHECK(!none && name == "value");
    return 0;
}
