#include "common/ConsoleInput.h"
#include "common/DualString.h"
#include "common/StringUtil.h"
#include "platform/Console.h"

#include <gtest/gtest.h>

#include <string>

using namespace QORAPI;

// ---- Code-page conversion --------------------------------------------------------

TEST(StringConvert, LatinOneBothWays)
{
    EXPECT_EQ(StringToWString(""), u"");
    EXPECT_EQ(WStringToString(u""), "");
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    const std::u16string wide = StringToWString(all);
    ASSERT_EQ(wide.size(), 255u);
    EXPECT_EQ(wide[0x7F - 1], 0x7F);
    EXPECT_EQ(wide[0x80 - 1], 0x80);
    EXPECT_EQ(wide[0xE9 - 1], 0xE9);
    EXPECT_EQ(wide[0xFF - 1], 0xFF);
    EXPECT_EQ(WStringToString(wide), all);
}

TEST(StringConvert, AboveLatinOneBecomesQuestionMark)
{
    EXPECT_EQ(WStringToString(u"a\u0100b\u4e2d\xd83d"), "a?b??");
    EXPECT_EQ(WStringToString(std::u16string(1, u'\0')), std::string(1, '\0'));
}

TEST(StringConvert, Utf8RoundTrip)
{
    const std::string text = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";  // A, e-acute, a CJK character, an emoji
    std::u16string w;
    EXPECT_TRUE(Utf8ToUtf16(text, w));
    EXPECT_EQ(w, u"A\u00e9\u4e2d\U0001F600");
    std::string back;
    EXPECT_TRUE(Utf16ToUtf8(w, back));
    EXPECT_EQ(back, text);
    EXPECT_TRUE(Utf8ToUtf16("", w));
    EXPECT_TRUE(w.empty());
}

TEST(StringConvert, MalformedSequencesAreReplaced)
{
    const struct
    {
        const char* in;
        const char16_t* out;
    } cases[] = {
        {"a\x80z", u"a\uFFFDz"},                  // stray continuation
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong lead bytes
        {"\xE0\x80\xAF", u"\uFFFD"},              // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD"},              // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},          // above U+10FFFF
        {"\xF5\xFF", u"\uFFFD\uFFFD"},
        {"x\xE4\xB8", u"x\uFFFD"},                // truncated at the end
        {"\xE4" "A", u"\uFFFDA"},                 // interrupted: the next byte is kept
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.in);
        std::u16string w;
        EXPECT_FALSE(Utf8ToUtf16(c.in, w));
        EXPECT_EQ(w, c.out);
    }
    std::string s;
    EXPECT_FALSE(Utf16ToUtf8(std::u16string(u"a") + char16_t(0xD800), s));
    EXPECT_EQ(s, "a\xEF\xBF\xBD");
    EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00)) + u"b", s));
    EXPECT_EQ(s, "\xEF\xBF\xBD" "b");
}

// ---- Case ---------------------------------------------------------------------

TEST(StringCase, CopiesAndInPlace)
{
    EXPECT_EQ(StringToUpper(std::string("abC1-z")), "ABC1-Z");
    EXPECT_EQ(StringToLower(std::string("ABc1-Z")), "abc1-z");
    EXPECT_EQ(StringToUpper(std::u16string(u"abC1")), u"ABC1");
    EXPECT_EQ(StringToLower(std::u16string(u"ABc1")), u"abc1");
    std::string s = "MiXed";
    StringToUpperInPlace(s);
    EXPECT_EQ(s, "MIXED");
    StringToLowerInPlace(s);
    EXPECT_EQ(s, "mixed");
    std::u16string w = u"MiXed";
    StringToUpperInPlace(w);
    EXPECT_EQ(w, u"MIXED");
    StringToLowerInPlace(w);
    EXPECT_EQ(w, u"mixed");
    // Bytes above 0x7F and surrogates pass through without harm.
    std::string high = "\xE9\xFF";
    StringToUpperInPlace(high);
    EXPECT_EQ(high.size(), 2u);
    std::u16string sur(1, char16_t(0xD83D));
    EXPECT_EQ(StringToUpper(sur), sur);
}

TEST(StringCase, CompareNoCase)
{
    const struct
    {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"abc", "ABD", -1}, {"ab", "abc", -1}, {"ABC", "abc", 0}, {"abd", "ABC", 1}, {"abc", "ab", 1},
        {"", "", 0}, {"", "a", -1},
        {"\xE9", "z", 1},  // bytes compare as unsigned: 0xE9 sorts after 'Z'
        {"_", "a", 1},     // upper-casing puts '_' (0x5F) after letters even for lower-case input
    };
    for (const auto& c : cases)
        EXPECT_EQ(StringCompareNoCase(std::string(c.a), std::string(c.b)), c.expected) << c.a << "/" << c.b;
    EXPECT_EQ(StringCompareNoCase(std::u16string(u"abc"), std::u16string(u"ABD")), -1);
    EXPECT_EQ(StringCompareNoCase(std::u16string(u"ab"), std::u16string(u"abc")), -1);
    EXPECT_EQ(StringCompareNoCase(std::u16string(u"ABC"), std::u16string(u"abc")), 0);
    EXPECT_EQ(StringCompareNoCase(std::u16string(u"\u4e2d"), std::u16string(u"a")), 1);
}

// ---- DualString ------------------------------------------------------------------

TEST(DualStringTest, EachFormFilledFromTheOther)
{
    DualString d(std::string("caf\xE9"));
    EXPECT_EQ(d.GetWString(), u"caf\u00e9");
    EXPECT_EQ(d.GetString(), "caf\xE9");

    DualString w(std::u16string(u"x\u4e2d"));
    EXPECT_EQ(w.GetString(), "x?");
    EXPECT_EQ(w.GetWString(), u"x\u4e2d");   // the 16-bit form is kept as given

    w = std::string("new");
    EXPECT_EQ(w.GetWString(), u"new");
    w = std::u16string(u"wide");
    EXPECT_EQ(w.GetString(), "wide");

    DualString empty;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.GetString(), "");
    EXPECT_EQ(empty.GetWString(), u"");
    DualString fromNull(static_cast<const char*>(nullptr));
    EXPECT_TRUE(fromNull.IsEmpty());
    d.Clear();
    EXPECT_TRUE(d.IsEmpty());
}

// ---- ReadConsoleLine over pipes ------------------------------------------------

namespace {

// Feeds input through one pipe and collects what is printed from another.
struct ConsoleRun
{
    std::string line;
    std::string printed;
};

ConsoleRun RunConsole(int mask, const std::string& input, std::string* second = nullptr)
{
    ConsoleRun run;
    int inRead = -1, inWrite = -1, outRead = -1, outWrite = -1;
    EXPECT_TRUE(ConsoleCreatePipe(inRead, inWrite));
    EXPECT_TRUE(ConsoleCreatePipe(outRead, outWrite));
    ConsoleWrite(inWrite, input.data(), input.size());
    ConsoleClose(inWrite);
    run.line = ReadConsoleLine(mask, inRead, outWrite);
    if (second)
        *second = ReadConsoleLine(mask, inRead, outWrite);
    ConsoleClose(outWrite);
    for (int c; (c = ConsoleReadByte(outRead)) >= 0;)
        run.printed += static_cast<char>(c);
    ConsoleClose(inRead);
    ConsoleClose(outRead);
    return run;
}

} // namespace

TEST(ReadConsoleLine, PlainAndMaskedLines)
{
    const std::string longLine(700, 'x');
    const struct
    {
        int mask;
        std::string input, line, printed;
    } cases[] = {
        {-1, longLine + "\n", longLine, ""},  // longer than one piece
        {-1, "no end", "no end", ""},
        {-1, "", "", ""},
        {-1, "a\b\r\n", "a\b\r", ""},         // carriage return and backspace are ordinary bytes
        {'*', "secret\r", "secret", "******\n"},
        {0, "pw\n", "pw", "\n"},               // zero and negative masks print only the line end
        {-5, "pw\n", "pw", "\n"},
        {'*', "ab\bc\n", "ac", "**\b \b*\n"},
        {'*', "\b\bx\x7f\x7fy\r", "y", "*\b \b*\n"},  // backspace on an empty line prints nothing
        {0, "ab\b\n", "a", "\b \b\n"},
        {'#', "abc", "abc", "###\n"},          // masked input stops at end of input
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.input);
        ConsoleRun run = RunConsole(c.mask, c.input);
        EXPECT_EQ(run.line, c.line);
        EXPECT_EQ(run.printed, c.printed);
    }
}

TEST(ReadConsoleLine, LeavesTheRestForTheNextCall)
{
    std::string second;
    ConsoleRun run = RunConsole(-1, "hello world\nnext\n", &second);
    EXPECT_EQ(run.line, "hello world");
    EXPECT_EQ(second, "next");
    EXPECT_EQ(run.printed, "");
    ConsoleRun two = RunConsole(0, "one\rtwo\n", &second);
    EXPECT_EQ(two.line, "one");
    EXPECT_EQ(second, "two");
}
