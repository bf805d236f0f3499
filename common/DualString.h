// DualString: a text kept both as an 8-bit and as a 16-bit string, each form
// filled from the other (ISO-8859-1 conversion) the first time it is asked for
// while empty.
//
// Thread safety: none; a DualString belongs to one thread at a time (even the
// const getters may fill the missing form).
#ifndef QORAPI_COMMON_DUALSTRING_H
#define QORAPI_COMMON_DUALSTRING_H

#include <string>

namespace QORAPI {

class DualString
{
public:
    DualString() = default;
    DualString(const std::string& s) : mString(s) {}
    DualString(const std::u16string& w) : mWString(w) {}
    DualString(const char* s) : mString(s ? s : "") {}

    // Replace the text; the other form is forgotten and derived again on demand.
    DualString& operator=(const std::string& s);
    DualString& operator=(const std::u16string& w);
    void Set(const std::string& s) { *this = s; }
    void Set(const std::u16string& w) { *this = w; }

    // The 8-bit form; when empty, filled from the 16-bit form.
    const std::string& GetString() const;
    // The 16-bit form; when empty, filled from the 8-bit form.
    const std::u16string& GetWString() const;

    bool IsEmpty() const { return mString.empty() && mWString.empty(); }
    void Clear();

private:
    mutable std::string mString;
    mutable std::u16string mWString;
};

} // namespace QORAPI

#endif
