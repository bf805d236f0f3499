#include "QORCrypt/DerReader.h"

#include "QORCrypt/DerWriter.h"

namespace QORAPI {

bool DerReader::ReadLength(uint32_t& length)
{
    const uint8_t first = mReader.ReadByte();
    if (first < 0x80)
        length = first;
    else if (first == 0x81)
        length = mReader.ReadByte();
    else if (first == 0x82)
    {
        const uint8_t* bytes = mReader.ReadBytes(2);
        length = (static_cast<uint32_t>(bytes[0]) << 8) | bytes[1];
    }
    else
        return false;
    return true;
}

bool DerReader::ReadSequenceHeader()
{
    if (mFailed)
        return false;
    try
    {
        uint32_t length = 0;
        if (mReader.ReadByte() != DerWriter::kSequenceTag || !ReadLength(length))
            mFailed = true;
    }
    catch (const ReadBufferException&)
    {
        mFailed = true;
    }
    return !mFailed;
}

bool DerReader::ReadInteger(BigInteger& v)
{
    if (mFailed)
        return false;
    try
    {
        uint32_t length = 0;
        if (mReader.ReadByte() != DerWriter::kIntegerTag || !ReadLength(length))
        {
            mFailed = true;
            return false;
        }
        // ReadBytes checks the declared length against what is left.
        const uint8_t* content = mReader.ReadBytes(length);
        v.fromBinary(content, length);
    }
    catch (const ReadBufferException&)
    {
        mFailed = true;
    }
    catch (const ArithmeticException&)
    {
        mFailed = true;
    }
    return !mFailed;
}

} // namespace QORAPI
