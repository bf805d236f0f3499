#include "dir/DirEntity.h"

namespace QORAPI {

const DirDataObject* DirEntity::FindDataObject(const std::string& type) const
{
    for (const DirDataObject& object : mDataObjects)
        if (object.mType == type)
            return &object;
    return nullptr;
}

} // namespace QORAPI
