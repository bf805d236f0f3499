// DerReader: reads the key encodings written by DerWriter. Every read is
// bounds-checked; after the first failed read every later read fails too.
//
// Thread safety: none; a reader belongs to one thread at a time. The caller
// keeps the bytes alive while the reader is used.
#ifndef QORAPI_QORCRYPT_DERREADER_H
#define QORAPI_QORCRYPT_DERREADER_H

#include "QORCrypt/BigInteger.h"
#include "common/ReadBuffer.h"

#include <cstdint>

namespace QORAPI {

class DerReader
{
public:
    DerReader(const void* data, uint32_t length) : mReader(data, length) {}

    // Tag 0x30 and a length (short, 0x81 or 0x82 form) that is read past but
    // not compared with the data.
    bool ReadSequenceHeader();
    // Tag 0x02, a length in the short, 0x81 or 0x82 form, then the content
    // as an unsigned big-endian number (leading zero bytes skipped).
    bool ReadInteger(BigInteger& v);

    bool Failed() const { return mFailed; }
    uint32_t GetPos() const { return mReader.GetPos(); }

private:
    // A length in the short, 0x81 or 0x82 form; false for any other.
    bool ReadLength(uint32_t& length);

    ReadBuffer mReader;
    bool mFailed = false;
};

} // namespace QORAPI

#endif
