#include "common/DualString.h"

#include "common/StringUtil.h"

namespace QORAPI {

DualString& DualString::operator=(const std::string& s)
{
    mString = s;
    mWString.clear();
    return *this;
}

DualString& DualString::operator=(const std::u16string& w)
{
    mWString = w;
    mString.clear();
    return *this;
}

const std::string& DualString::GetString() const
{
    if (mString.empty() && !mWString.empty())
        mString = WStringToString(mWString);
    return mString;
}

const std::u16string& DualString::GetWString() const
{
    if (mWString.empty() && !mString.empty())
        mWString = StringToWString(mString);
    return mWString;
}

void DualString::Clear()
{
    mString.clear();
    mWString.clear();
}

} // namespace QORAPI
