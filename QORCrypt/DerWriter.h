// DerWriter: writes the key encodings, a SEQUENCE of INTEGERs in the subset
// of DER the library uses (lengths short below 128, then 0x81 and 0x82 forms).
//
// Thread safety: none; a writer belongs to one thread at a time.
#ifndef QORAPI_QORCRYPT_DERWRITER_H
#define QORAPI_QORCRYPT_DERWRITER_H

#include "QORCrypt/BigInteger.h"
#include "common/ByteBuffer.h"

#include <cstdint>
#include <vector>

namespace QORAPI {

class DerWriter
{
public:
    static constexpr uint8_t kSequenceTag = 0x30;
    static constexpr uint8_t kIntegerTag = 0x02;
    static constexpr uint32_t kMaxLength = 0xFFFF;

    // Appends tag, length and the toBinary form of v to the body. Returns
    // false (and marks the writer failed) when the content needs more than
    // 65,535 bytes.
    bool WriteInteger(const BigInteger& v);

    // The SEQUENCE tag, the body's length and the body; none if any write
    // failed or the body is too long.
    SmartPtr<ByteBuffer> FinishSequence() const;

    // Appends a length in the short, 0x81 or 0x82 form; false above 65,535.
    static bool WriteLength(std::vector<uint8_t>& out, uint32_t length);

private:
    std::vector<uint8_t> mBody;
    bool mFailed = false;
};

} // namespace QORAPI

#endif
