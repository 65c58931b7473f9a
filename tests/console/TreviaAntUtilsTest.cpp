// The EPROM field map against the simulated trainer and console, its encodings, and the
// settings loader.
#include <functional>

#include "ConsoleTestSupport.h"
#include "console/TreviaAntUtils.h"
#include "device/ulma_ant_class.h"
#include "platform/os/Registry.h"
#include "platform/rtl/DateTime.h"

namespace {

using namespace TreviaAntUtils;

TEST(EpromEncoding, UnsignedFieldsAreLittleEndianAndRefuseWhatDoesNotFit) {
    struct Case {
        int64_t value;
        int length;
        std::array<uint8_t, 4> bytes;
    } cases[] = {
        {0x1234, 2, {0x34, 0x12, 0, 0}},
        {74565, 3, {0x45, 0x23, 0x01, 0}},
        {255, 1, {255, 0, 0, 0}},
        {65535, 2, {0xFF, 0xFF, 0, 0}},
        {0, 3, {0, 0, 0, 0}},
        {16777215, 3, {0xFF, 0xFF, 0xFF, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(EncodeUnsigned(c.value, c.length, "f"), c.bytes) << c.value;
    for (auto [value, length] : {std::pair<int64_t, int>{256, 1}, {-1, 1}, {65536, 2}, {-1, 2}, {1 << 24, 3}})
        EXPECT_THROW(EncodeUnsigned(value, length, "f"), EConvertError) << value;
}

TEST(EpromEncoding, ProductionDateIsDayMonthYearFrom2000) {
    EXPECT_EQ(EncodeEpromDate(EncodeDate(2009, 3, 5)), (std::array<uint8_t, 3>{5, 3, 9}));
    EXPECT_EQ(EncodeEpromDate(EncodeDate(2000, 1, 1)), (std::array<uint8_t, 3>{1, 1, 0}));
    EXPECT_EQ(EncodeEpromDate(EncodeDate(2100, 12, 31)), (std::array<uint8_t, 3>{31, 12, 100}));
    EXPECT_THROW(EncodeEpromDate(EncodeDate(1999, 12, 31)), EConvertError);
    EXPECT_THROW(EncodeEpromDate(EncodeDate(2256, 1, 1)), EConvertError);
    EXPECT_EQ(DecodeEpromDate(27, 7, 9), EncodeDate(2009, 7, 27));
    EXPECT_THROW(DecodeEpromDate(31, 2, 9), EConvertError);
    EXPECT_THROW(DecodeEpromDate(1, 13, 9), EConvertError);
}

TEST(EpromEncoding, RollDiameterKeepsTheHundredthsTyped) {
    // The console sends millimetres + hundredths / 1000; 45.007 must not lose a unit.
    EXPECT_EQ(EncodeRollDiameter(45.007L), (std::array<uint8_t, 2>{45, 7}));
    EXPECT_EQ(EncodeRollDiameter(45 + 7 / 1000.0L), (std::array<uint8_t, 2>{45, 7}));
    EXPECT_EQ(EncodeRollDiameter(12.04L), (std::array<uint8_t, 2>{12, 40}));
    EXPECT_EQ(EncodeRollDiameter(255.255L), (std::array<uint8_t, 2>{255, 255}));
    EXPECT_EQ(DecodeRollDiameter(45, 7), 45.07L);
    EXPECT_THROW(EncodeRollDiameter(256), EConvertError);
    EXPECT_THROW(EncodeRollDiameter(-0.5L), EConvertError);
    EXPECT_THROW(EncodeRollDiameter(45.3L), EConvertError);  // 300 thousandths
}

// A trainer component connected to the default simulated stick.
class EpromFieldTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        Device = std::make_unique<TTreviaDeviceANT>(nullptr);
        ASSERT_TRUE(Device->Connect(AntSimTrainerNumber, 0, AntSimConsoleNumber));
        Stick = AntSimStick(0);
        ASSERT_TRUE(Stick);
        ASSERT_TRUE(WaitUntil([&] { return Device->ConnectedKeyboard(); }));
    }
    void TearDown() override {
        Device.reset();
        Stick.reset();
        ConsoleTest::TearDown();
    }
    std::unique_ptr<TTreviaDeviceANT> Device;
    std::shared_ptr<TAntSimStick> Stick;
};

struct TIntField {
    const char* name;
    bool trainer;
    int address, length;
    std::function<int64_t(TTreviaDeviceANT*)> read;
    std::function<bool(TTreviaDeviceANT*, int32_t)> write;
    int32_t value;
};

std::vector<TIntField> IntFields() {
    auto r = [](auto f) { return [f](TTreviaDeviceANT* d) { return int64_t(f(d)); }; };
    return {
        {"trainer fw", true, 0x01, 1, r(ReadTrainerFwVersion), WriteTrainerFwVersion, 0x42},
        {"trainer number", true, 0x02, 2, r(ReadTrainerDeviceNumber), WriteTrainerDeviceNumber, 0x1234},
        {"P1", true, 0x04, 2, r(ReadCalibrationP1), WriteCalibrationP1, 0xABCD},
        {"P2", true, 0x06, 2, r(ReadCalibrationP2), WriteCalibrationP2, 0x0102},
        {"P3", true, 0x08, 2, r(ReadCalibrationP3), WriteCalibrationP3, 65535},
        {"V1", true, 0x0A, 1, r(ReadCalibrationV1), WriteCalibrationV1, 234},
        {"V2", true, 0x0B, 1, r(ReadCalibrationV2), WriteCalibrationV2, 20},
        {"V3", true, 0x0C, 1, r(ReadCalibrationV3), WriteCalibrationV3, 30},
        {"B1", true, 0x0D, 1, r(ReadCalibrationB1), WriteCalibrationB1, 40},
        {"B2", true, 0x0E, 1, r(ReadCalibrationB2), WriteCalibrationB2, 100},
        {"B3", true, 0x0F, 1, r(ReadCalibrationB3), WriteCalibrationB3, 255},
        {"unit type", true, 0x10, 1, r(ReadUnitType), WriteUnitType, 3},
        {"total distance", true, 0x16, 3, r(ReadTotalDistance), WriteTotalDistance, 74565},
        {"events per turn", true, 0x19, 1, r(ReadEventPerTurns), WriteEventPerTurns, 25},
        {"console fw", false, 0x01, 1, r(ReadConsoleFwVersion), WriteConsoleFwVersion, 6},
        {"console number", false, 0x02, 2, r(ReadConsoleDeviceNumber), WriteConsoleDeviceNumber, 0x0201},
        {"console type", false, 0x04, 1, r(ReadConsoleType), WriteConsoleType, 3},
        {"plus", false, 0x08, 1, r(ReadConsolePlusSensibility), WriteConsolePlusSensibility, 12},
        {"minus", false, 0x09, 1, r(ReadConsoleMinusSensibility), WriteConsoleMinusSensibility, 7},
        {"enter", false, 0x0A, 1, r(ReadConsoleEnterSensibility), WriteConsoleEnterSensibility, 8},
        {"tab", false, 0x0B, 1, r(ReadConsoleTabSensibility), WriteConsoleTabSensibility, 9},
        {"console TDN", false, 0x0C, 2, r(ReadConsoleTrainerDeviceNumber), WriteConsoleTrainerDeviceNumber,
         54321},
    };
}

TEST_F(EpromFieldTest, EveryIntegerFieldIsWrittenAndReadByteExactly) {
    for (const TIntField& f : IntFields()) {
        SCOPED_TRACE(f.name);
        auto memory = [&](int a) {
            return f.trainer ? Stick->Trainer().Eprom()[a] : Stick->Console().Eprom()[a];
        };
        // Neighbours of the field must stay as they are.
        const uint8_t before = memory(f.address - 1), after = memory(f.address + f.length);
        ASSERT_TRUE(f.write(Device.get(), f.value));
        for (int k = 0; k < f.length; ++k) EXPECT_EQ(memory(f.address + k), (f.value >> (8 * k)) & 0xFF) << k;
        EXPECT_EQ(memory(f.address - 1), before);
        EXPECT_EQ(memory(f.address + f.length), after);
        // Read back from bytes set on the device itself.
        const int32_t other = f.value ^ 0x5A;
        for (int k = 0; k < f.length; ++k) {
            const uint8_t b = (other >> (8 * k)) & 0xFF;
            if (f.trainer)
                Stick->Trainer().SetEpromByte(f.address + k, b);
            else
                Stick->Console().SetEpromByte(f.address + k, b);
        }
        EXPECT_EQ(f.read(Device.get()), other);
    }
}

TEST_F(EpromFieldTest, DatesAndRollDiameterUseTheirEncodings) {
    ASSERT_TRUE(WriteProductionDate(Device.get(), EncodeDate(2009, 3, 5)));
    const auto t = Stick->Trainer().Eprom();
    EXPECT_EQ((std::array<uint8_t, 3>{t[0x11], t[0x12], t[0x13]}), (std::array<uint8_t, 3>{5, 3, 9}));
    EXPECT_EQ(ReadProductionDate(Device.get()), EncodeDate(2009, 3, 5));

    ASSERT_TRUE(WriteConsoleProductionDate(Device.get(), EncodeDate(2021, 7, 27)));
    const auto c = Stick->Console().Eprom();
    EXPECT_EQ((std::array<uint8_t, 3>{c[5], c[6], c[7]}), (std::array<uint8_t, 3>{27, 7, 21}));
    EXPECT_EQ(ReadConsoleProductionDate(Device.get()), EncodeDate(2021, 7, 27));

    // An impossible stored date is a conversion error, not a wrong date.
    Stick->Console().SetEpromByte(5, 30);
    Stick->Console().SetEpromByte(6, 2);
    EXPECT_THROW(ReadConsoleProductionDate(Device.get()), EConvertError);

    ASSERT_TRUE(WriteRollDiameter(Device.get(), 45 + 7 / 1000.0L));
    EXPECT_EQ(Stick->Trainer().Eprom()[0x14], 45);
    EXPECT_EQ(Stick->Trainer().Eprom()[0x15], 7);
    EXPECT_EQ(ReadRollDiameter(Device.get()), 45.07L);
}

TEST_F(EpromFieldTest, ValuesThatDoNotFitAreRefusedWithoutARequest) {
    const auto trainer = Stick->Trainer().Eprom();
    const auto console = Stick->Console().Eprom();
    Stick->Trainer().ClearReceived();
    Stick->Console().ClearReceived();
    EXPECT_THROW(WriteTrainerDeviceNumber(Device.get(), 65536), EConvertError);
    EXPECT_THROW(WriteTrainerDeviceNumber(Device.get(), -1), EConvertError);
    EXPECT_THROW(WriteCalibrationB1(Device.get(), 256), EConvertError);
    EXPECT_THROW(WriteTotalDistance(Device.get(), 1 << 24), EConvertError);
    EXPECT_THROW(WriteRollDiameter(Device.get(), 300), EConvertError);
    EXPECT_THROW(WriteProductionDate(Device.get(), EncodeDate(1990, 1, 1)), EConvertError);
    EXPECT_THROW(WriteConsoleTrainerDeviceNumber(Device.get(), 70000), EConvertError);
    EXPECT_THROW(WriteConsoleTabSensibility(Device.get(), -3), EConvertError);
    Application()->Delay(300);
    EXPECT_EQ(Stick->Trainer().Eprom(), trainer);
    EXPECT_EQ(Stick->Console().Eprom(), console);
    for (const auto& r : Stick->Trainer().Received()) EXPECT_NE(r.Page[0], 3);
    for (const auto& r : Stick->Console().Received()) EXPECT_NE(r.Page[0], 3);
}

class EpromFieldUnconnected : public ConsoleTest {};

TEST_F(EpromFieldUnconnected, AFailedReadRaisesInsteadOfReportingStaleBytes) {
    TTreviaDeviceANT device(nullptr);
    EXPECT_THROW(ReadTrainerFwVersion(&device), ERdEPROM);
    EXPECT_THROW(ReadConsoleTrainerDeviceNumber(&device), ERdEPROM);
    EXPECT_THROW(ReadProductionDate(&device), ERdEPROM);
    EXPECT_FALSE(WriteCalibrationV1(&device, 5));
}

TEST_F(EpromFieldTest, AMuteTrainerTimesOutAsAReadError) {
    Stick->Trainer().SetMute(true);
    EXPECT_THROW(ReadCalibrationP1(Device.get()), ERdEPROM);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Time Out Read new EPROM!"});
}

// ---------------------------------------------------------------- settings loader

class SettingsTest : public ConsoleTest {
protected:
    void Store(const std::vector<std::pair<std::string, std::string>>& values) {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        ASSERT_TRUE(reg.OpenKey(TreviaAntSettingsKey, true));
        for (const auto& [name, value] : values) reg.WriteString("VexaAntSettings_" + name, value);
    }
    static std::vector<std::pair<std::string, std::string>> All() {
        return {{"CalibrationB1", "11"},         {"CalibrationB2", "12"},        {"CalibrationB3", "13"},
                {"CalibrationV1", "21"},         {"CalibrationV2", "22"},        {"CalibrationV3", "23"},
                {"CalibrationP1", "31"},         {"CalibrationP2", "32"},        {"CalibrationP3", "33"},
                {"TrainerDeviceNumber", "4242"}, {"ConsoleSerialNumber", "777"}, {"RollDiameter", "45.5"}};
    }
};

TEST_F(SettingsTest, NotConnectedLoadsCalibrationAndDeviceNumbers) {
    Store(All());
    TTreviaDeviceANT device(nullptr);
    TMapCalibration map(nullptr);
    device.SetRollDiameter(40);
    EXPECT_TRUE(LoadDeviceSettings(&device, &map));
    EXPECT_EQ(
        (std::vector<int32_t>{map.Resist1(), map.Resist2(), map.Resist3(), map.Speed1(), map.Speed2(),
                              map.Speed3(), map.CalibrationP1(), map.CalibrationP2(), map.CalibrationP3()}),
        (std::vector<int32_t>{11, 12, 13, 21, 22, 23, 31, 32, 33}));
    EXPECT_TRUE(map.UseMapCalibration());
    EXPECT_EQ(device.DeviceTrainerNumber(), 4242);
    EXPECT_EQ(device.DeviceNumberKeyboard(), 777);
    EXPECT_EQ(device.RollDiameter(), 40);  // only read when connected
}

TEST_F(SettingsTest, AMissingValueStopsTheLoadAndKeepsWhatWasApplied) {
    auto values = All();
    values.erase(values.begin());  // no CalibrationB1
    Store(values);
    TTreviaDeviceANT device(nullptr);
    TMapCalibration map(nullptr);
    EXPECT_FALSE(LoadDeviceSettings(&device, &map));
    EXPECT_EQ(map.Resist2(), 0);
    EXPECT_FALSE(map.UseMapCalibration());
    EXPECT_EQ(device.DeviceTrainerNumber(), 0);

    // A malformed later value: the earlier ones stay applied.
    Store({{"CalibrationB1", "11"}, {"CalibrationV2", "x"}});
    EXPECT_FALSE(LoadDeviceSettings(&device, &map));
    EXPECT_EQ(map.Resist1(), 11);
    EXPECT_EQ(map.Speed1(), 21);
    EXPECT_EQ(map.Speed2(), 0);
    EXPECT_FALSE(map.UseMapCalibration());

    // Device numbers are the radio's 16-bit ones: one beyond would pair with another device
    // (cut to 16 bits) or with any (0), so it is refused as a malformed one.
    for (const char* number : {"65536", "77881", "-65536", "-1"}) {
        Store(All());
        Store({{"ConsoleSerialNumber", number}});
        TTreviaDeviceANT fresh(nullptr);
        EXPECT_FALSE(LoadDeviceSettings(&fresh, &map)) << number;
        EXPECT_EQ(fresh.DeviceNumberKeyboard(), 0) << number;
    }
}

TEST_F(SettingsTest, NoKeyAtAllFails) {
    TTreviaDeviceANT device(nullptr);
    TMapCalibration map(nullptr);
    EXPECT_FALSE(LoadDeviceSettings(&device, &map));
    EXPECT_FALSE(map.UseMapCalibration());
}

TEST_F(SettingsTest, ConnectedLoadsOnlyTheRollDiameter) {
    Store(All());
    TTreviaDeviceANT device(nullptr);
    TMapCalibration map(nullptr);
    ASSERT_TRUE(device.Connect(AntSimTrainerNumber, 0, AntSimConsoleNumber));
    EXPECT_TRUE(LoadDeviceSettings(&device, &map));
    EXPECT_EQ(device.RollDiameter(), 45.5L);
    EXPECT_EQ(map.Resist1(), 0);
    EXPECT_FALSE(map.UseMapCalibration());
    EXPECT_EQ(device.DeviceNumberKeyboard(), AntSimConsoleNumber);
    // A diameter the trainer's memory cannot hold is a malformed one: 1e300 made every
    // statistics step of the ride fail.
    for (const char* diameter : {"1e300", "258", "-1"}) {
        Store({{"RollDiameter", diameter}});
        EXPECT_FALSE(LoadDeviceSettings(&device, &map)) << diameter;
        EXPECT_EQ(device.RollDiameter(), 45.5L) << diameter;
    }
}

}  // namespace
