#include <gtest/gtest.h>

#include <thread>

#include "platform/rtl/Currency.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/SysUtils.h"
#include "tests/platform/rtl/FormatSettingsGuard.h"

namespace {

char SeparatorOnAnotherThread() {
    char seen = 0;
    std::thread other([&] { seen = FormatSettings().DecimalSeparator; });
    other.join();
    return seen;
}

TEST(ThreadFormatSettings, CopyIsThisThreadsOnlyAndNests) {
    FormatSettingsGuard guard;
    {
        TThreadFormatSettings outer;
        FormatSettingsGuard::UseComma();  // writes the copy
        EXPECT_EQ(&FormatSettings(), &outer.Settings());
        EXPECT_EQ(FloatToStr(1.5), "1,5");
        EXPECT_EQ(SeparatorOnAnotherThread(), '.');
        {
            TThreadFormatSettings inner;  // starts from the outer copy
            EXPECT_EQ(FloatToStr(1.5), "1,5");
            inner.Settings().DecimalSeparator = ';';
            EXPECT_EQ(CurrToStr(Currency::FromUnits(15000)), "1;5");
        }
        EXPECT_EQ(FloatToStr(1.5), "1,5");
    }
    EXPECT_EQ(FloatToStr(1.5), "1.5");
    EXPECT_EQ(FormatSettings().ThousandSeparator, ',');
}

TEST(ThreadFormatSettings, ExplicitSettingsAndUnwindingThroughAnException) {
    FormatSettingsGuard guard;
    TFormatSettings de = FormatSettings();
    de.DecimalSeparator = ',';
    de.DateSeparator = '.';
    de.ShortDateFormat = "dd.mm.yyyy";
    try {
        TThreadFormatSettings swapped(de);
        EXPECT_EQ(DateToStr(EncodeDate(2024, 3, 5)), "05.03.2024");
        StrToFloat("1.5");  // not a number with a decimal comma
        FAIL() << "StrToFloat accepted a point";
    } catch (const EConvertError&) {
    }
    EXPECT_EQ(StrToFloat("1.5"), 1.5L);
    EXPECT_NE(DateToStr(EncodeDate(2024, 3, 5)), "05.03.2024");
}

}  // namespace
