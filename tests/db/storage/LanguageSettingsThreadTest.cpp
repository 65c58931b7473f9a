// A table's formats are in force for the thread that swapped them in, and for no other.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "db/storage/LanguageSettings.h"
#include "db/storage/Library.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr uint16_t German = 0x0407;
constexpr uint16_t EnglishUS = 0x0409;

// Every text and parse the runtime does with the settings in force.
struct Texts {
    std::string Float, Number, Money, Curr, Date, LongDate, Time;
    bool ParsedFloat = false;
    bool ParsedDate = false;

    bool operator==(const Texts&) const = default;
};

Texts Sample() {
    const TDateTime dt = EncodeDate(2024, 3, 5) + EncodeTime(14, 7, 9, 0);
    Texts t;
    t.Float = FloatToStr(1.5);
    t.Number = FloatToStrF(1234567.25L, ffNumber, 15, 2);
    t.Money = FloatToStrF(1234.5L, ffCurrency, 15, 2);
    t.Curr = CurrToStr(Currency::FromUnits(12345));
    t.Date = DateToStr(dt);
    t.LongDate = FormatDateTime("dddd d mmmm yyyy", dt);
    t.Time = TimeToStr(dt);
    long double v = 0;
    t.ParsedFloat = TryStrToFloat("2.25", v) && v == 2.25L;
    TDateTime d = 0;
    t.ParsedDate = TryStrToDate("2024-03-05", d) && d == EncodeDate(2024, 3, 5);
    return t;
}

// Known process-wide settings for the test's span (those of language 0 with a currency).
class ThreadFormats : public ::testing::Test {
protected:
    void SetUp() override {
        FSaved = FormatSettings();
        TLanguageSettings fixed;
        GetLanguageSettings(0, 0, fixed);
        fixed.CurrencyString = "$";
        RestoreLanguageSettings(fixed);
        FBase = Sample();
        FGerman = RunWithLanguageSettings(German, 0, Sample);
        FEnglish = RunWithLanguageSettings(EnglishUS, 0, Sample);
    }
    void TearDown() override { FormatSettings() = FSaved; }

    TFormatSettings FSaved;
    Texts FBase, FGerman, FEnglish;
};

TEST_F(ThreadFormats, LocalesDifferInEveryText) {
    const Texts base{"1.5",      "1,234,567.25", "$1,234.50", "1.2345", "2024-03-05", "Tuesday 5 March 2024",
                     "14:07:09", true,           true};
    EXPECT_EQ(FBase, base);
    EXPECT_EQ(FGerman.Float, "1,5");
    EXPECT_EQ(FGerman.Number, "1.234.567,25");
    EXPECT_EQ(FGerman.Curr, "1,2345");
    EXPECT_EQ(FGerman.Date, "05.03.2024");
    EXPECT_EQ(FGerman.LongDate, "Dienstag 5 M\xE4rz 2024");
    EXPECT_EQ(FEnglish.Time, "2:07:09 PM");
    // A leak of any one setting into another thread would show.
    EXPECT_NE(FGerman.Money, FBase.Money);
    EXPECT_FALSE(FGerman.ParsedFloat);
    EXPECT_FALSE(FGerman.ParsedDate);
    EXPECT_NE(FEnglish.Date, FBase.Date);
}

// One baton passed back and forth between two threads.
class Baton {
public:
    void Pass(int to) {
        std::lock_guard<std::mutex> g(FMutex);
        FHolder = to;
        FChanged.notify_all();
    }
    void WaitFor(int who) {
        std::unique_lock<std::mutex> l(FMutex);
        FChanged.wait(l, [&] { return FHolder == who; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FHolder = 0;
};

// The other thread formats while the swap is certainly in force: the swapper waits for it
// inside every swap.
TEST_F(ThreadFormats, AnotherThreadFormatsWithItsOwnSettingsDuringTheSwap) {
    constexpr int Rounds = 200;
    Baton baton;  // 0 swapper, 1 observer
    int observerWrong = 0, swapperWrong = 0, afterWrong = 0;
    std::thread observer([&] {
        for (int r = 0; r < Rounds; ++r) {
            baton.WaitFor(1);
            if (!(Sample() == FBase)) ++observerWrong;
            baton.Pass(0);
        }
    });
    std::thread swapper([&] {
        for (int r = 0; r < Rounds; ++r) {
            RunWithLanguageSettings(German, 0, [&] {
                baton.Pass(1);
                baton.WaitFor(0);
                if (!(Sample() == FGerman)) ++swapperWrong;
            });
            if (!(Sample() == FBase)) ++afterWrong;
        }
    });
    swapper.join();
    observer.join();
    EXPECT_EQ(observerWrong, 0);
    EXPECT_EQ(swapperWrong, 0);
    EXPECT_EQ(afterWrong, 0);
}

// Free-running: two threads swap different locales in and out while a third formats.
TEST_F(ThreadFormats, ConcurrentSwapsLeaveOtherThreadsAlone) {
    constexpr int Rounds = 300;
    std::atomic<int> wrong{0};
    std::atomic<int> ready{0};
    auto startTogether = [&] {
        ready.fetch_add(1);
        while (ready.load() < 3) std::this_thread::yield();
    };
    auto swapping = [&](uint16_t language, const Texts& inside) {
        startTogether();
        for (int r = 0; r < Rounds; ++r) {
            RunWithLanguageSettings(language, 0, [&] {
                if (!(Sample() == inside)) wrong.fetch_add(1);
            });
            if (!(Sample() == FBase)) wrong.fetch_add(1);
        }
    };
    std::thread german(swapping, German, std::cref(FGerman));
    std::thread english(swapping, EnglishUS, std::cref(FEnglish));
    std::thread observer([&] {
        startTogether();
        for (int r = 0; r < 2 * Rounds; ++r)
            if (!(Sample() == FBase)) wrong.fetch_add(1);
    });
    german.join();
    english.join();
    observer.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ThreadFormats, NestedSwapsUnwindInOrderAlsoWhenTheWorkThrows) {
    RunWithLanguageSettings(German, 0, [&] {
        EXPECT_THROW(RunWithLanguageSettings(EnglishUS, 0,
                                             [&] {
                                                 EXPECT_EQ(Sample(), FEnglish);
                                                 throw std::runtime_error("inner work failed");
                                             }),
                     std::runtime_error);
        EXPECT_EQ(Sample(), FGerman);
        // The same locale again inside itself.
        RunWithLanguageSettings(German, 0, [&] { EXPECT_EQ(Sample(), FGerman); });
        EXPECT_EQ(Sample(), FGerman);
    });
    EXPECT_EQ(Sample(), FBase);
    EXPECT_THROW(RunWithLanguageSettings(German, 0, [] { StrToFloat("2.25"); }), EConvertError);
    EXPECT_EQ(Sample(), FBase);
}

}  // namespace
