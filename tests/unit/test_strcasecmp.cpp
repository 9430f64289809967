// The program's own case-insensitive comparison, zen::strcasecmp, and the
// C library's strcasecmp, which must stay the one every library calls.
// gtest first: the X headers' macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include "app/Startup.h"

#include <dlfcn.h>
#include <strings.h>

#include <string>

namespace {

// The comparison as its rule states it, one byte pair at a time: fold A to
// Z to lower case, then compare as signed 8-bit values.
int reference(unsigned char a, unsigned char b)
{
    auto fold = [](unsigned char c) {
        int v = (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
        return v >= 128 ? v - 256 : v;
    };
    int fa = fold(a), fb = fold(b);
    return fa == fb ? 0 : (fa > fb ? 1 : -1);
}

} // namespace

TEST(ZenStrcasecmp, IgnoresTheCaseOfLetters)
{
    EXPECT_EQ(zen::strcasecmp("Soundcard", "soundcard"), 0);
    EXPECT_EQ(zen::strcasecmp("SOUNDCARD", "Soundcard"), 0);
    EXPECT_EQ(zen::strcasecmp("sOuNdCaRd", "Soundcard"), 0);
    EXPECT_EQ(zen::strcasecmp("", ""), 0);
    EXPECT_EQ(zen::strcasecmp("Z", "z"), 0);
    // Only A to Z fold: "@" and "`", "[" and "{" stay apart.
    EXPECT_EQ(zen::strcasecmp("@", "`"), -1);
    EXPECT_EQ(zen::strcasecmp("{", "["), 1);
}

TEST(ZenStrcasecmp, OrdersWithResultsOfOneStep)
{
    EXPECT_EQ(zen::strcasecmp("Soundcard", "Soundcards"), -1);
    EXPECT_EQ(zen::strcasecmp("Soundcards", "Soundcard"), 1);
    EXPECT_EQ(zen::strcasecmp("b", "A"), 1);
    EXPECT_EQ(zen::strcasecmp("A", "b"), -1);
    // Far apart, still -1 and 1.
    EXPECT_EQ(zen::strcasecmp("a", "z"), -1);
    EXPECT_EQ(zen::strcasecmp("z", "A"), 1);
    EXPECT_EQ(zen::strcasecmp("x", ""), 1);
    EXPECT_EQ(zen::strcasecmp("", "Soundcard"), -1);
    EXPECT_EQ(zen::strcasecmp("Diskfile", "Soundcard"), -1);
    EXPECT_EQ(zen::strcasecmp("soundcarD", "Soundcard\x01"), -1);
}

TEST(ZenStrcasecmp, HighBytesCompareBelowEverything)
{
    EXPECT_EQ(zen::strcasecmp("a\xE9", "a"), -1);
    EXPECT_EQ(zen::strcasecmp("a", "a\xE9"), 1);
    EXPECT_EQ(zen::strcasecmp("\x80", "\x01"), -1);
    EXPECT_EQ(zen::strcasecmp("\xFF", "\x80"), 1);
    EXPECT_EQ(zen::strcasecmp("\xC9", "\xE9"), -1);  // no folding above 127
    EXPECT_EQ(zen::strcasecmp("\xE9t\xE9", "\xE9T\xE9"), 0);
}

TEST(ZenStrcasecmp, EveryPairOfBytes)
{
    for (int a = 1; a < 256; ++a)
        for (int b = 0; b < 256; ++b) {
            const char sa[] = {char(a), 'q', 0};
            const char sb[] = {char(b), 'Q', 0};
            const int want = reference(a, b);
            ASSERT_EQ(zen::strcasecmp(sa, sb), want) << a << " " << b;
            if (b) {
                ASSERT_EQ(zen::strcasecmp(sb, sa), -want) << b << " " << a;
            }
        }
}

TEST(LibcStrcasecmp, IsStillTheOneLibrariesSee)
{
    // Looked up the way a shared library's call is bound: it is not in this
    // program but in the C library (or, in a sanitized build, in the
    // sanitizer's interceptor, which ends in the C library).
    void* sym = dlsym(RTLD_DEFAULT, "strcasecmp");
    ASSERT_NE(sym, nullptr);
    Dl_info info{}, self{};
    ASSERT_NE(dladdr(sym, &info), 0);
    ASSERT_NE(info.dli_fname, nullptr);
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&reference), &self), 0);
    EXPECT_NE(info.dli_fbase, self.dli_fbase) << info.dli_fname;
    const std::string lib = info.dli_fname;
    EXPECT_TRUE(lib.find("libc.") != std::string::npos || lib.find("libasan") != std::string::npos)
        << lib;

    // The C library compares bytes as unsigned: a byte above 127 is greater
    // than the end of the other string.
    auto bound = reinterpret_cast<int (*)(const char*, const char*)>(sym);
    EXPECT_GT(bound("a\xE9", "a"), 0);
    EXPECT_GT(::strcasecmp("a\xE9", "a"), 0);
    EXPECT_EQ(::strcasecmp("Soundcard", "soundcard"), 0);
    // And is not the program's: zen::strcasecmp says the opposite here.
    EXPECT_EQ(zen::strcasecmp("a\xE9", "a"), -1);
}
