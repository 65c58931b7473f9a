// The lifetime test's sweep of resistance levels and its clock.
#include "ConsoleTestSupport.h"
#include "console/Unit1.h"
#include "console/Unit2.h"

namespace {

class LifetimeTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        Main = std::make_unique<TForm1>();
        Lifetime = std::make_unique<TForm2>(Main.get());
    }
    void TearDown() override {
        Lifetime.reset();
        Main.reset();
        ConsoleTest::TearDown();
    }
    void Setup(int maxParameter, int timeStep, int byteStep) {
        Lifetime->txtMaxParameter->SetValue(maxParameter);
        Lifetime->txtTimeStep->SetValue(timeStep);
        Lifetime->txtByteStep->SetValue(byteStep);
    }
    // Runs `n` ticks and returns the level the trainer holds after each.
    std::vector<int32_t> Ticks(int n) {
        std::vector<int32_t> levels;
        for (int i = 0; i < n; ++i) {
            Lifetime->tmr1Timer(Lifetime->tmr1.get());
            levels.push_back(Main->TreviaDeviceANT1->TreviaResistance());
        }
        return levels;
    }
    std::string Clock() const {
        return Text(Lifetime->txtOre) + ":" + Text(Lifetime->txtMinuti) + ":" + Text(Lifetime->txtSecondi);
    }

    std::unique_ptr<TForm1> Main;
    std::unique_ptr<TForm2> Lifetime;
};

TEST_F(LifetimeTest, WindowAsStored) {
    EXPECT_EQ(Lifetime->windowTitle(), "Lifetime test");
    EXPECT_EQ(Lifetime->btnStart->text(), "Start");
    EXPECT_EQ(Lifetime->btnStop->text(), "Stop");
    EXPECT_EQ(Clock(), "00:00:00");
    EXPECT_EQ(Lifetime->txtTimeStep->Value(), 0);
    EXPECT_EQ(Lifetime->tmr1->Interval(), 1000u);
    EXPECT_FALSE(Lifetime->tmr1->Enabled());
}

TEST_F(LifetimeTest, LevelsSweepUpAndDownBetweenTheBounds) {
    Setup(50, 1, 10);
    Lifetime->btnStartClick();
    Lifetime->btnStopClick();          // ticks are driven by hand here
    Main->Button4->setEnabled(false);  // a click in code still runs the handler
    EXPECT_EQ(Ticks(8), (std::vector<int32_t>{10, 20, 30, 40, 30, 20, 10, 20}));
    EXPECT_EQ(Main->TxtTreviaResistance->Value(), 20);
}

// The step is read from its box in any locale: one with digits of its own (or a minus sign
// of its own) gave the box's text as "??", and every tick of the test failed.
TEST_F(LifetimeTest, TheStepIsReadInAnyLocale) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    Lifetime.reset();
    Main = std::make_unique<TForm1>();
    Lifetime = std::make_unique<TForm2>(Main.get());
    Setup(50, 1, 10);
    Lifetime->btnStartClick();
    Lifetime->btnStopClick();
    EXPECT_EQ(Ticks(3), (std::vector<int32_t>{10, 20, 30}));
    QLocale::setDefault(QLocale(QLocale::Swedish, QLocale::Sweden));
    const TSpinEdit negative(nullptr, 0, 0, -10);
    EXPECT_EQ(Text(&negative), "-10");
    QLocale::setDefault(saved);
}

TEST_F(LifetimeTest, BothBoundsAtOnceTurnUp) {
    Setup(5, 1, 10);
    Lifetime->btnStartClick();
    Lifetime->btnStopClick();
    // 0 + 10 reaches the maximum and 0 - 10 is below 1: up wins; the box stops at 255.
    EXPECT_EQ(Ticks(1), std::vector<int32_t>{10});
    Setup(300, 1, 200);
    EXPECT_EQ(Ticks(1), std::vector<int32_t>{210});
    EXPECT_EQ(Ticks(1), std::vector<int32_t>{10});  // 410 >= 300: down
    Setup(1000, 1, 200);
    EXPECT_EQ(Ticks(2), (std::vector<int32_t>{210, 255}));  // up again, clamped
}

TEST_F(LifetimeTest, TheLevelChangesOnMultiplesOfTheTimeStep) {
    Setup(100, 5, 1);
    Lifetime->btnStartClick();
    Lifetime->btnStopClick();
    EXPECT_EQ(Ticks(11), (std::vector<int32_t>{0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2}));
}

TEST_F(LifetimeTest, ATimeStepBelowOneChangesNothing) {
    Setup(100, 0, 5);
    EXPECT_EQ(Ticks(3), (std::vector<int32_t>{0, 0, 0}));
    Setup(100, -2, 5);
    EXPECT_EQ(Ticks(2), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(Clock(), "0:0:5");
    EXPECT_TRUE(Messages().Boxes.empty());
}

TEST_F(LifetimeTest, TheClockCarriesIntoMinutesAndHours) {
    Setup(100, 0, 0);
    Ticks(59);
    EXPECT_EQ(Clock(), "0:0:59");
    Ticks(1);
    EXPECT_EQ(Clock(), "0:1:0");
    Ticks(3599);
    EXPECT_EQ(Clock(), "1:0:59");
}

TEST_F(LifetimeTest, StopAndStartRestartTheClockButKeepTheLevel) {
    Setup(100, 1, 7);
    Lifetime->btnStartClick();
    ASSERT_TRUE(WaitUntil([&] { return Main->TreviaDeviceANT1->TreviaResistance() >= 14; }, 10000));
    Lifetime->btnStopClick();
    Application()->Delay(1500);
    const int32_t level = Main->TreviaDeviceANT1->TreviaResistance();
    EXPECT_NE(Clock(), "00:00:00");
    Lifetime->btnStartClick();
    EXPECT_EQ(Clock(), "00:00:00");
    EXPECT_EQ(Main->TxtTreviaResistance->Value(), level);
    ASSERT_TRUE(WaitUntil([&] { return Main->TreviaDeviceANT1->TreviaResistance() == level + 7; }, 5000));
    Lifetime->btnStopClick();
}

// The main window goes while the test runs: its device's disconnect pumps messages, and
// neither those ticks nor later ones may reach the half-destroyed or freed window.
TEST_F(LifetimeTest, TheMainWindowGoingAwayMidTestDrivesNothing) {
    Click(Main->Button1);
    ASSERT_TRUE(Main->TreviaDeviceANT1->Connected());
    Setup(255, 1, 1);
    Lifetime->tmr1->SetInterval(20);
    Lifetime->btnStartClick();
    ASSERT_TRUE(WaitUntil([&] { return Main->TreviaDeviceANT1->TreviaResistance() >= 2; }, 5000));
    Main.reset();
    const std::string before = Clock();
    // Still ticking (a loaded machine may run no tick within a short fixed delay).
    EXPECT_TRUE(WaitUntil([&] { return Clock() != before; }, 200));
    Lifetime->btnStopClick();
}

}  // namespace
