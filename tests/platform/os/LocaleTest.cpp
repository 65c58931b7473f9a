#include <gtest/gtest.h>

#include <cstring>

#include "platform/os/Locale.h"

namespace {

TEST(Locale, CodePagesConvertSingleByteText) {
    struct {
        uint16_t cp;
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {1252, "\x80 \xE4\xDF", u"\u20AC \u00E4\u00DF"},
        {1251, "\xC0\xE0", u"\u0410\u0430"},
        {1250, "\x8A\xB9", u"\u0160\u0105"},
        {1253, "\xC1", u"\u0391"},
        {874, "\xA1", u"\u0E01"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CodePageToUnicode(c.cp, c.bytes), c.text) << c.cp;
        bool lossless = true;
        EXPECT_EQ(UnicodeToCodePage(c.cp, c.text, &lossless), c.bytes) << c.cp;
        EXPECT_TRUE(lossless);
    }
    bool lossless = true;
    EXPECT_EQ(UnicodeToCodePage(1252, u"a\u0410", &lossless), "a?");
    EXPECT_FALSE(lossless);
    // Bytes a code page leaves undefined still round-trip.
    EXPECT_EQ(UnicodeToCodePage(1252, CodePageToUnicode(1252, "\x81\x8D")), "\x81\x8D");
}

TEST(Locale, EveryLanguageOfTheTableHasFormatsAndCollation) {
    int languages = 0;
    for (uint32_t id = 1; id < 0x10000; ++id) {
        const TLocaleLanguage* l = FindLocaleLanguage(static_cast<uint16_t>(id));
        if (!l) continue;
        ++languages;
        EXPECT_TRUE(IsLocaleInstalled(id));
        TLocaleFormats f;
        ASSERT_TRUE(GetLocaleFormats(id, f)) << l->IcuLocale;
        EXPECT_NE(f.DecimalSeparator, 0) << l->IcuLocale;
        EXPECT_FALSE(f.ShortDateFormat.empty()) << l->IcuLocale;
        EXPECT_TRUE(f.HasTimeFormat) << l->IcuLocale;
        EXPECT_EQ(LocaleCompareStrings(id, SORT_STRINGSORT, "a", 1, "b", 1), -1) << l->IcuLocale;
    }
    EXPECT_EQ(languages, 98);  // the engine's list less "ANSI Standard"
    EXPECT_EQ(FindLocaleLanguage(0), nullptr);
    EXPECT_EQ(LocaleCodePage(0x0419), 1251);
    EXPECT_EQ(LocaleCodePage(0), 1252);
}

TEST(Locale, CompareStrengths) {
    const uint32_t de = 0x0407;
    const uint32_t nonspace = SORT_STRINGSORT | NORM_IGNORENONSPACE;
    EXPECT_EQ(LocaleCompareStrings(de, SORT_STRINGSORT, "\xE4", -1, "a", -1), 1);  // tertiary: accent counts
    EXPECT_EQ(LocaleCompareStrings(de, nonspace, "\xE4", -1, "a", -1), 0);
    EXPECT_EQ(LocaleCompareStrings(de, nonspace, "A", -1, "a", -1), 1);  // case level
    EXPECT_EQ(LocaleCompareStrings(de, nonspace | NORM_IGNORECASE, "\xC4", -1, "a", -1), 0);
    EXPECT_EQ(LocaleCompareStrings(de, NORM_IGNORECASE, "\xC4", -1, "a", -1), 1);
    EXPECT_EQ(LocaleCompareStrings(de, NORM_IGNORECASE, "A", -1, "a", -1), 0);
    // Lengths limit the compare.
    EXPECT_EQ(LocaleCompareStrings(de, nonspace, "abcX", 3, "abcY", 3), 0);
}

}  // namespace
