#include "platform/SysUtils.h"

#include <gtest/gtest.h>

namespace {

struct FormatRow {
    const char* name;
    std::string got;
    const char* want;
};

TEST(Format, PlatformRules) {
    const void* p = reinterpret_cast<const void*>(uintptr_t(0x0012AB40));
    const FormatRow rows[] = {
        {"f without precision has two decimals", Format("%f", 1.0 / 3), "0.33"},
        {"f with precision", Format("%0.3f|%2.2f", 2.5, 3.14159), "2.500|3.14"},
        {"f from an integer", Format("%f", 7), "7.00"},
        {"x is upper case", Format("%x", 0xabcdef), "ABCDEF"},
        {"x with precision pads zeros", Format("%.4x", 0x1f), "001F"},
        {"d and u", Format("%d %u", -42, 42u), "-42 42"},
        {"d precision pads zeros", Format("%.2d:%.2d:%.2d.%.3d", 1, 2, 3, 5), "01:02:03.005"},
        {"negative with precision", Format("%.3d", -5), "-005"},
        {"width pads blanks", Format("[%4d][%-4d]", 7, 7), "[   7][7   ]"},
        {"s and percent", Format("%s 100%%", "done"), "done 100%"},
        {"s from std::string", Format("%s", std::string("abc")), "abc"},
        {"s precision cuts", Format("%.2s", "abcdef"), "ab"},
        {"p eight upper-case digits", Format("%p", p), "0012AB40"},
        {"index selects argument", Format("%1:s %0:s", "a", "b"), "b a"},
        {"n has thousands", Format("%n", 1234567.891), "1,234,567.89"},
        {"int64 values", Format("%d", int64_t(-9000000000LL)), "-9000000000"},
    };
    for (const auto& r : rows) EXPECT_EQ(r.got, r.want) << r.name;
}

TEST(Format, BadFormatsRaise) {
    EXPECT_THROW(Format("%d"), Exception);              // missing argument
    EXPECT_THROW(Format("%d", "text"), Exception);      // mismatched
    EXPECT_THROW(Format("%s", 3), Exception);           // number for text
    EXPECT_THROW(Format("%q", 3), Exception);           // unknown type
    EXPECT_THROW(Format("trailing %", 3), Exception);   // cut specifier
    try {
        Format("%d", "x");
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Format '%d' invalid or incompatible with argument");
    }
}

TEST(CFormat, KeepsCRules) {
    EXPECT_EQ(CFormat("%f %x %5.1f", 1.0, 255, 2.25), "1.000000 ff   2.2");
    std::string long_text(5000, 'a');
    EXPECT_EQ(CFormat("%s!", long_text.c_str()), long_text + "!");
}

TEST(TextHelpers, TrimCaseAndErrors) {
    EXPECT_EQ(Trim("  a b \t\r\n"), "a b");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(LowerCase("AbC-Z"), "abc-z");
    EXPECT_EQ(UpperCase("AbC-z"), "ABC-Z");
    EXPECT_TRUE(SameText("LibAV", "libav"));
    EXPECT_EQ(SysErrorMessage(2), "No such file or directory");
}

} // namespace
