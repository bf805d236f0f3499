#include "dir/DirEntity.h"

#include "QORSocket/InetAddress.h"

namespace QORAPI {

const DirDataObject* DirEntity::FindDataObject(const std::string& type) const
{
    for (const DirDataObject& object : mDataObjects)
        if (object.mType == type)
            return &object;
    return nullptr;
}

InetAddress DirEntity::GetAddress() const
{
    InetAddress address;
    if (ByteBuffer::LengthOf(mNetAddress) >= 6)
        address.SetSixBytes(mNetAddress->GetData());
    return address;
}

} // namespace QORAPI
