// String utilities over the library's 8-bit (std::string) and 16-bit
// (std::u16string) texts: code-page conversion, UTF-8 helpers, case mapping
// and case-insensitive comparison.
//
// The 8-bit "ANSI" code page is ISO-8859-1: each byte is the 16-bit character
// of the same value; a character above 0xFF converts back to '?'. Case mapping
// follows the current C locale (std::toupper / std::towupper).
//
// Thread safety: every function may be called from any thread (the locale must
// not be changed meanwhile).
#ifndef QORAPI_COMMON_STRINGUTIL_H
#define QORAPI_COMMON_STRINGUTIL_H

#include <string>

namespace QORAPI {

// ISO-8859-1 to 16-bit, one character per byte.
std::u16string StringToWString(const std::string& s);
// 16-bit to ISO-8859-1, one byte per character; above 0xFF gives '?'.
std::string WStringToString(const std::u16string& w);

// UTF-8 to UTF-16. Malformed input (bad lead or continuation bytes, overlong
// forms, surrogates, values above U+10FFFF, truncated sequences) is replaced by
// U+FFFD, one per offending byte run; the result is false when anything was
// replaced.
bool Utf8ToUtf16(const std::string& in, std::u16string& out);
// UTF-16 to UTF-8. An unpaired surrogate is replaced by U+FFFD; the result is
// false when anything was replaced.
bool Utf16ToUtf8(const std::u16string& in, std::string& out);

std::string StringToUpper(const std::string& s);
std::string StringToLower(const std::string& s);
std::u16string StringToUpper(const std::u16string& w);
std::u16string StringToLower(const std::u16string& w);
void StringToUpperInPlace(std::string& s);
void StringToLowerInPlace(std::string& s);
void StringToUpperInPlace(std::u16string& w);
void StringToLowerInPlace(std::u16string& w);

// Compares upper-cased characters one by one: -1 or 1 at the first difference,
// the shorter string first when one is a prefix of the other, 0 when equal.
int StringCompareNoCase(const std::string& a, const std::string& b);
int StringCompareNoCase(const std::u16string& a, const std::u16string& b);

} // namespace QORAPI

#endif
