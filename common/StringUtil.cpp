#include "common/StringUtil.h"

#include <cctype>
#include <cstdint>
#include <cwctype>

namespace QORAPI {

namespace {

const char16_t kReplacement = 0xFFFD;

inline char ToUpper8(char c)
{
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

inline char ToLower8(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

inline bool IsSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

inline char16_t ToUpper16(char16_t c)
{
    if (IsSurrogate(c))
        return c;
    const uint32_t mapped = static_cast<uint32_t>(std::towupper(static_cast<std::wint_t>(c)));  // wint_t may be 16-bit
    return mapped <= 0xFFFF && !IsSurrogate(mapped) ? static_cast<char16_t>(mapped) : c;
}

inline char16_t ToLower16(char16_t c)
{
    if (IsSurrogate(c))
        return c;
    const uint32_t mapped = static_cast<uint32_t>(std::towlower(static_cast<std::wint_t>(c)));  // wint_t may be 16-bit
    return mapped <= 0xFFFF && !IsSurrogate(mapped) ? static_cast<char16_t>(mapped) : c;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80)
        out += static_cast<char>(cp);
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

std::u16string StringToWString(const std::string& s)
{
    std::u16string w;
    w.reserve(s.size());
    for (char c : s)
        w += static_cast<char16_t>(static_cast<unsigned char>(c));
    return w;
}

std::string WStringToString(const std::u16string& w)
{
    std::string s;
    s.reserve(w.size());
    for (char16_t c : w)
        s += c <= 0xFF ? static_cast<char>(c) : '?';
    return s;
}

bool Utf8ToUtf16(const std::string& in, std::u16string& out)
{
    out.clear();
    out.reserve(in.size());
    bool clean = true;
    const size_t n = in.size();
    size_t i = 0;
    while (i < n)
    {
        const uint8_t lead = static_cast<uint8_t>(in[i]);
        if (lead < 0x80)
        {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp;
        uint32_t minimum;
        if (lead >= 0xC2 && lead <= 0xDF)
        {
            extra = 1;
            cp = lead & 0x1F;
            minimum = 0x80;
        }
        else if (lead >= 0xE0 && lead <= 0xEF)
        {
            extra = 2;
            cp = lead & 0x0F;
            minimum = 0x800;
        }
        else if (lead >= 0xF0 && lead <= 0xF4)
        {
            extra = 3;
            cp = lead & 0x07;
            minimum = 0x10000;
        }
        else
        {
            // A stray continuation byte, an overlong two-byte lead (C0, C1) or F5..FF.
            out += kReplacement;
            clean = false;
            ++i;
            continue;
        }

        size_t used = 1;
        bool ok = true;
        for (; used <= extra; ++used)
        {
            if (i + used >= n)
            {
                ok = false;
                break;
            }
            const uint8_t next = static_cast<uint8_t>(in[i + used]);
            if ((next & 0xC0) != 0x80)
            {
                ok = false;
                break;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        if (ok && (cp < minimum || cp > 0x10FFFF || IsSurrogate(cp)))
            ok = false;
        if (!ok)
        {
            // Replace the lead and the continuation bytes read so far; resume at the first byte that did not fit.
            out += kReplacement;
            clean = false;
            i += used > extra ? extra + 1 : used;
            continue;
        }
        if (cp >= 0x10000)
        {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 | (cp >> 10));
            out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        }
        else
            out += static_cast<char16_t>(cp);
        i += extra + 1;
    }
    return clean;
}

bool Utf16ToUtf8(const std::u16string& in, std::string& out)
{
    out.clear();
    out.reserve(in.size());
    bool clean = true;
    for (size_t i = 0; i < in.size(); ++i)
    {
        const uint32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF)
        {
            const uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(in[i + 1]) - 0xDC00);
            AppendUtf8(out, cp);
            ++i;
        }
        else if (IsSurrogate(c))
        {
            AppendUtf8(out, kReplacement);
            clean = false;
        }
        else
            AppendUtf8(out, c);
    }
    return clean;
}

std::string StringToUpper(const std::string& s)
{
    std::string r = s;
    StringToUpperInPlace(r);
    return r;
}

std::string StringToLower(const std::string& s)
{
    std::string r = s;
    StringToLowerInPlace(r);
    return r;
}

std::u16string StringToUpper(const std::u16string& w)
{
    std::u16string r = w;
    StringToUpperInPlace(r);
    return r;
}

std::u16string StringToLower(const std::u16string& w)
{
    std::u16string r = w;
    StringToLowerInPlace(r);
    return r;
}

void StringToUpperInPlace(std::string& s)
{
    for (char& c : s)
        c = ToUpper8(c);
}

void StringToLowerInPlace(std::string& s)
{
    for (char& c : s)
        c = ToLower8(c);
}

void StringToUpperInPlace(std::u16string& w)
{
    for (char16_t& c : w)
        c = ToUpper16(c);
}

void StringToLowerInPlace(std::u16string& w)
{
    for (char16_t& c : w)
        c = ToLower16(c);
}

int StringCompareNoCase(const std::string& a, const std::string& b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
    {
        const unsigned char x = static_cast<unsigned char>(ToUpper8(a[i]));
        const unsigned char y = static_cast<unsigned char>(ToUpper8(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

int StringCompareNoCase(const std::u16string& a, const std::u16string& b)
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
    {
        const char16_t x = ToUpper16(a[i]);
        const char16_t y = ToUpper16(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

} // namespace QORAPI
