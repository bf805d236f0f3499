// Paths of the Windows platform layer: the library's 8-bit paths are
// ISO-8859-1 text (each byte one character, '/' or '\' between names) and go
// to the wide file calls as absolute "\\?\" paths, so that paths longer than
// MAX_PATH work as they do on POSIX.
//
// Thread safety: both functions may be called from any thread (a relative
// path is resolved against the current directory at the time of the call).
#ifndef QORAPI_PLATFORM_WIN32_WINPATH_H
#define QORAPI_PLATFORM_WIN32_WINPATH_H

#include <string>

#include <windows.h>

namespace QORAPI {

inline std::wstring WidePath(const std::string& path)
{
    std::wstring w;
    w.reserve(path.size());
    for (char c : path)
        w += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    if (w.empty() || w.compare(0, 4, L"\\\\?\\") == 0)
        return w;
    DWORD n = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return w;
    std::wstring full(n, L'\0');
    n = ::GetFullPathNameW(w.c_str(), n, &full[0], nullptr);
    if (n == 0 || n >= full.size())
        return w;
    full.resize(n);
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// A character above 0xFF becomes '?'.
inline std::string NarrowName(const wchar_t* name)
{
    std::string out;
    for (; *name; ++name)
        out += *name > 0xFF ? '?' : static_cast<char>(*name);
    return out;
}

} // namespace QORAPI

#endif
