// The main window against the simulated stick: layout and stored settings, connection,
// live values, commands, console keys, field buttons, raw grids and dumps.
#include <QFontInfo>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <set>

#include "ConsoleTestSupport.h"
#include "console/TreviaAntUtils.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "device/ulma_ant_class.h"
#include "platform/os/Registry.h"
#include "platform/rtl/DateFormat.h"
#include "platform/rtl/DateTime.h"

namespace {

class FormTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        Form = std::make_unique<TForm1>();
        Device = Form->TreviaDeviceANT1.get();
    }
    void TearDown() override {
        Form.reset();
        ConsoleTest::TearDown();
    }

    // Connects through Button1 and waits for every channel.
    void Connect() {
        Click(Form->Button1);
        ASSERT_TRUE(Device->Connected());
        Stick = AntSimStick(0);
        ASSERT_TRUE(WaitUntil([&] {
            return Device->ConnectedKeyboard() && Device->ConnectedTrainer() && Device->ConnectedHr();
        }));
        Messages().Boxes.clear();
    }

    template <class W>
    W* Find(const char* name) {
        W* w = Form->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    std::string LastLine(TMemo* memo) {
        const TStrings& l = memo->Lines();
        return l.Count() ? l[l.Count() - 1] : std::string();
    }
    int CountLines(TMemo* memo, const std::string& s) {
        int n = 0;
        for (int i = 0; i < memo->Lines().Count(); ++i) n += memo->Lines()[i] == s;
        return n;
    }

    std::unique_ptr<TForm1> Form;
    TTreviaDeviceANT* Device = nullptr;
    std::shared_ptr<TAntSimStick> Stick;
};

TEST_F(FormTest, WindowAndControlsAreAsStored) {
    EXPECT_EQ(Form->windowTitle(), "ZeltoANT 2");
    EXPECT_EQ(Form->size(), QSize(984, 775));
    EXPECT_EQ(Form->minimumSize(), Form->maximumSize());
    const std::pair<const char*, const char*> captions[] = {
        {"Button1", "Connect"},
        {"Button2", "Disconnect"},
        {"chkNaw", "Vexa Naw"},
        {"chkCardio", "HR"},
        {"chkConsole", "Console"},
        {"Button9", "Update"},
        {"Button62", "Start"},
        {"btn5", "Stop"},
        {"btn6", "Pause"},
        {"chkMiles", "Miles"},
        {"chkVirtualSpeed", "Virtual Speed"},
        {"SetSlope", "Set Slope"},
        {"Button4", "Send Resistance"},
        {"Button58", "Set power NAW"},
        {"Button5", "Save total distance"},
        {"Button6", "Read total distance"},
        {"Button7", "Set total distance"},
        {"Button61", "setEventsPerTurn"},
        {"cmdSleep", "Sleep"},
        {"CheckBox1", "Selected"},
        {"cmdUp", " Up"},
        {"cmdDown", "Down"},
        {"cmdEnter", "Enter"},
        {"cmdTab", "Tab"},
        {"btn1", "HR BLT"},
        {"btn2", "CONS"},
        {"btn3", "Lifetime Test"},
        {"btn4", "btn4"},
        {"chkTX", "TX"},
        {"chkRX", "RX"},
        {"chkChannel", "Channel:"},
        {"btn_ReadEprom", "Read Eprom"},
        {"btn_WriteEprom", "Write Eprom"},
        {"Button3", "Read eprom"},
        {"Button8", "Write eprom"},
        {"Button36", "Read  Roll Diameter"},
        {"Button25", "set Calibration V3"},
        {"Button56", "Console Trainer DeviceNumber"},
    };
    for (auto [name, caption] : captions)
        if (auto* b = Find<QAbstractButton>(name)) {
            EXPECT_EQ(b->text().toStdString(), caption) << name;
        }
    for (const char* name : {"chkCardio", "chkConsole", "chkTX", "chkRX"})
        EXPECT_TRUE(Find<QCheckBox>(name)->isChecked()) << name;
    const std::pair<const char*, const char*> texts[] = {
        {"txtChannelTrainer", "71"}, {"txtChannelSdeCa", "57"}, {"txtChannelConsole", "70"},
        {"TxtSlope", "0"},           {"txtEventPerTurns", "2"}, {"txtName", "0"},
    };
    for (auto [name, text] : texts) EXPECT_EQ(Text(Find<QLineEdit>(name)), text) << name;
    EXPECT_EQ(Form->txtRoller->Value(), 45);
    EXPECT_EQ(Caption(Form->lblKeyboard), "-----------------");
    EXPECT_EQ(Caption(Form->lblTotalDistance), "***********");
    EXPECT_EQ(Caption(Form->Label41), "0");
    EXPECT_EQ(Caption(Form->Label35), "0");
    EXPECT_EQ(Form->TxtTreviaResistance->maximum(), 255);

    // Grids and address selectors.
    EXPECT_EQ(Form->GridEprom->rowCount(), 40);
    EXPECT_EQ(Form->GridConsole->rowCount(), 16);
    EXPECT_EQ(Form->GridEprom->columnWidth(0), 140);
    EXPECT_EQ(Form->GridEprom->Cells(0, 27), "Spe&Cad Tx Chan (0x1C)");
    EXPECT_EQ(Form->GridEprom->Cells(1, 17), "03");
    EXPECT_EQ(Form->GridEprom->Cells(1, 25), "");
    EXPECT_EQ(Form->GridConsole->Cells(0, 14), "Tx Channel PC (0xF)");
    EXPECT_EQ(Form->GridConsole->Cells(1, 0), "06");
    EXPECT_EQ(Form->Cmb_Address->count(), 12);
    EXPECT_EQ(Text(Form->Cmb_Address), "01");
    EXPECT_EQ(Form->ComboAddressConsole->itemText(13), "14");

    // Captions of the unnamed labels.
    std::set<std::string> shown;
    for (QLabel* l : Form->findChildren<QLabel*>()) shown.insert(Caption(l));
    for (const char* c :
         {"Device Number", "Hr belt", "Trainer", "Keyboard",
          "Cadence :", "Speed :", "Heart :", "Power :", "Distance :", "Zero:", "HeartBeatTime",
          "HeartBeatCount", "HeartCumulativeOperatingtime ", "HeartManifactureID", "HeartSerialNumber",
          "HeartHardwareVersion", "HeartSoftwareVersion", "HeartModelNumber", "HeartPreviousHeartBeat"})
        EXPECT_EQ(shown.count(c), 1u) << c;
    // The heart-strap panel holds its values, the statistics memo and the dumps.
    for (QWidget* w : std::initializer_list<QWidget*>{Form->Label31, Form->Label39, Form->mmo1,
                                                      Form->Button63, Form->Button64})
        EXPECT_TRUE(Form->Panel2->isAncestorOf(w)) << StdStr(w->objectName());

    // The client area is purple where no control covers it.
    const QImage image = Form->grab().toImage();
    EXPECT_EQ(image.size(), QSize(984, 775));
    EXPECT_EQ(QColor(image.pixel(658, 515)), QColor(0x80, 0x00, 0x80));
    if (const char* path = getenv("ZELTO_CONSOLE_SCREENSHOT")) image.save(path);
}

// Controls of one container neither overlap nor stick out of it, and every caption fits.
TEST_F(FormTest, NoControlOverlapsAnotherOrIsCut) {
    TForm2 lifetime(Form.get());
    const std::vector<QWidget*> containers = {Form.get(), Form->Panel2, Form->lblDeviceHR->parentWidget(),
                                              &lifetime};
    for (QWidget* parent : containers) {
        const auto kids = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (int i = 0; i < kids.size(); ++i) {
            const QRect a = kids[i]->geometry();
            EXPECT_TRUE(parent->rect().contains(a)) << StdStr(kids[i]->objectName());
            for (int j = i + 1; j < kids.size(); ++j)
                EXPECT_FALSE(a.intersects(kids[j]->geometry()))
                    << StdStr(kids[i]->objectName()) << " / " << StdStr(kids[j]->objectName()) << " / "
                    << StdStr(kids[i]->property("text").toString());
        }
    }
    // Text widths depend on the font; they are checked with the form's own.
    if (QFontInfo(Form->font()).family() != Form->font().family()) GTEST_SKIP() << "form font not installed";
    for (QWidget* window : {static_cast<QWidget*>(Form.get()), static_cast<QWidget*>(&lifetime)}) {
        for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
            const int need = qobject_cast<QCheckBox*>(b) ? b->sizeHint().width()
                                                         : b->fontMetrics().horizontalAdvance(b->text()) + 6;
            EXPECT_LE(need, b->width()) << StdStr(b->objectName());
        }
        for (QLabel* l : window->findChildren<QLabel*>())
            EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << Caption(l);
    }
}

TEST_F(FormTest, StoredSettingsReplaceTheComponentDefaults) {
    EXPECT_EQ(Device->NumberOfSearch(), 0);
    EXPECT_EQ(Device->eventPerTurn(), 1);
    EXPECT_EQ(Device->GetTimerStatsInterval(), 1000u);
    EXPECT_FALSE(Device->GetTimerStatsEnabled());
    EXPECT_EQ(Device->CadenceArrayLength(), 1);
    EXPECT_EQ(Device->BikeWeight(), 10);
    EXPECT_TRUE(Device->EnableConsole());
    EXPECT_TRUE(Device->OnStats);
    EXPECT_TRUE(Device->OnDisconnected);
    TMapCalibration* map = Form->mpclbrtn1.get();
    EXPECT_EQ((std::vector<int32_t>{map->P1MaxValue(), map->P2MaxValue(), map->P3MaxValue(),
                                    map->P1MinValue(), map->P2MinValue(), map->P3MinValue()}),
              std::vector<int32_t>(6, 0));
}

TEST_F(FormTest, ConnectShowsConnessoAndSetsTheRideValues) {
    Form->txtRoller->SetValue(50);
    Click(Form->Button1);
    EXPECT_TRUE(Device->Connected());
    const auto boxes = BoxTexts();
    EXPECT_NE(std::find(boxes.begin(), boxes.end(), "Connesso"), boxes.end());
    EXPECT_EQ(Messages().Boxes.back().caption, "ANT Zelto");
    EXPECT_EQ(Device->RollDiameter(), 50);
    EXPECT_EQ(Device->eventPerTurn(), 2);
    EXPECT_EQ(Device->GetPower(), 0);
    EXPECT_EQ(Device->RiderWeight(), 50);
    EXPECT_GT(Form->Memo1->Lines().Count(), 0);  // the command log

    // A channel counts as alive at its first page; a wildcard's number comes later, with the
    // channel-id answer.
    ASSERT_TRUE(WaitUntil([&] {
        return Device->ConnectedKeyboard() && Device->ConnectedHr() && Device->DeviceNumberKeyboard() != 0 &&
               Device->DeviceHrNumber() != 0;
    }));
    EXPECT_TRUE(WaitUntil([&] {
        const auto b = BoxTexts();
        return std::find(b.begin(), b.end(), "console connessa!!") != b.end();
    }));
    Click(Form->Button9);
    EXPECT_EQ(Caption(Form->lblKeyboard), IntToStr(AntSimConsoleNumber) + " -conn-");
    EXPECT_EQ(Caption(Form->lblDeviceHR), IntToStr(AntSimHeartRateNumber) + " -conn-");

    // Disconnecting by hand fires only the base class's event: no box.
    Messages().Boxes.clear();
    Click(Form->Button2);
    EXPECT_FALSE(Device->Connected());
    EXPECT_TRUE(Messages().Boxes.empty());
}

TEST_F(FormTest, LosingTheTrainerDuringARideStopsItWithOneBox) {
    Connect();
    Click(Form->Button62);
    // The link's verdict after the trainer's channel kept timing out.
    ASSERT_TRUE(TTreviaDeviceANT::Link());
    TTreviaDeviceANT::Link()->TrainerLost = true;
    ASSERT_TRUE(WaitUntil([&] { return !Messages().Boxes.empty(); }, 5000));
    Application()->Delay(3000);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Disconnesso!!!"});
    EXPECT_EQ(Device->GetCompetitorState(), cstStopped);
    EXPECT_FALSE(Device->GetTimerStatsEnabled());
}

TEST_F(FormTest, ConnectWithoutAStickShowsTheDongleBoxThenNonConnesso) {
    AntSimRemoveAll();
    Click(Form->Button1);
    EXPECT_FALSE(Device->Connected());
    EXPECT_EQ(BoxTexts(),
              (std::vector<std::string>{"Usb dongle not found! Check it and restart the software.",
                                        "NON Connesso !!"}));
    EXPECT_TRUE(Messages().Boxes[0].flags & MB_ICONERROR);
}

TEST_F(FormTest, UpdateBeforeConnectingShowsTheStoredNumbers) {
    Device->SetDeviceTrainerNumber(4242);
    Device->SetDeviceNumberKeyboard(7);
    Click(Form->Button9);
    EXPECT_EQ(Caption(Form->lblDeviceHR), "0");
    EXPECT_EQ(Caption(Form->lblDeviceTrainer), "4242");
    EXPECT_EQ(Caption(Form->lblKeyboard), "7");
}

// One handler, what it is given and what must hold afterwards (and not before).
struct THandlerCase {
    const char* what;
    std::function<void(TForm1*)> act;
    std::function<bool()> holds;
};

TEST_F(FormTest, HandlersSetTheirComponentValuesFromTheBoxes) {
    {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        ASSERT_TRUE(reg.OpenKey(TreviaAntSettingsKey, true));
        for (const char* name :
             {"CalibrationB1", "CalibrationB2", "CalibrationB3", "CalibrationV1", "CalibrationV2",
              "CalibrationV3", "CalibrationP1", "CalibrationP2", "CalibrationP3"})
            reg.WriteString(std::string("VexaAntSettings_") + name, "11");
        reg.WriteString("VexaAntSettings_TrainerDeviceNumber", "4242");
        reg.WriteString("VexaAntSettings_ConsoleSerialNumber", "777");
    }
    TTreviaDeviceANT* d = Device;
    TMapCalibration* map = Form->mpclbrtn1.get();
    const THandlerCase cases[] = {
        {"chkCardio", [](TForm1* f) { f->chkCardio->setChecked(false); }, [d] { return !d->HeartEnabled(); }},
        {"chkConsole", [](TForm1* f) { f->chkConsole->setChecked(false); },
         [d] { return !d->EnableConsole(); }},
        {"chkMiles on", [](TForm1* f) { f->chkMiles->setChecked(true); },
         [d] { return d->UOM() == umMiles; }},
        {"chkMiles off", [](TForm1* f) { f->chkMiles->setChecked(false); }, [d] { return d->UOM() == umKm; }},
        {"chkVirtualSpeed", [](TForm1* f) { f->chkVirtualSpeed->setChecked(true); },
         [d] { return d->VirtualSpeedEnabled(); }},
        {"SetSlope",
         [](TForm1* f) {
             f->TxtSlope->setText("2.5");
             Click(f->SetSlope);
         },
         [d] { return d->CurrentSlope() == 2.5L; }},
        {"Button4",
         [](TForm1* f) {
             f->TxtTreviaResistance->SetValue(77);
             Click(f->Button4);
         },
         [d] { return d->TreviaResistance() == 77; }},
        {"Button58",
         [](TForm1* f) {
             f->txtPowerNaw->setText("120");
             Click(f->Button58);
         },
         [d] { return d->GetPower() == 120; }},
        {"Button61",
         [](TForm1* f) {
             f->txtEventPerTurns->setText("3");
             Click(f->Button61);
         },
         [d] { return d->eventPerTurn() == 3; }},
        {"btn4", [](TForm1* f) { Click(f->btn4); },
         [d, map] {
             return map->UseMapCalibration() && map->Resist1() == 11 && map->CalibrationP3() == 11 &&
                    d->DeviceTrainerNumber() == 4242 && d->DeviceNumberKeyboard() == 777;
         }},
    };
    for (const THandlerCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.holds());
        c.act(Form.get());
        EXPECT_TRUE(c.holds());
    }
    EXPECT_TRUE(Messages().Boxes.empty());
}

TEST_F(FormTest, ABoxThatIsNoValidValueIsAConversionErrorAndChangesNothing) {
    struct Case {
        QLineEdit* edit;
        const char* text;
        QPushButton* button;
    } cases[] = {
        {Form->TxtSlope, "x", Form->SetSlope},           {Form->txtPowerNaw, "", Form->Button58},
        {Form->txtEventPerTurns, "256", Form->Button61}, {Form->txtEventPerTurns, "-1", Form->Button61},
        {Form->txtChannelTrainer, "300", Form->Button1}, {Form->txtChannelConsole, "seventy", Form->Button1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(StdStr(c.button->objectName()) + " " + c.text);
        Messages().Boxes.clear();
        const QString before = c.edit->text();
        c.edit->setText(c.text);
        Click(c.button);
        ASSERT_EQ(Messages().Boxes.size(), 1u);
        EXPECT_TRUE(Messages().Boxes[0].flags & MB_ICONERROR);
        c.edit->setText(before);
    }
    EXPECT_EQ(Device->CurrentSlope(), 0);
    EXPECT_EQ(Device->eventPerTurn(), 1);
    EXPECT_EQ(Device->ChannelTrainer(), 71);
    EXPECT_FALSE(Device->Connected());
    EXPECT_EQ(TTreviaDeviceANT::Link(), nullptr);  // no connection was tried
}

TEST_F(FormTest, ConnectTakesTheReceiverKindAndChannelsFromTheBoxes) {
    // No console on RF 72: the trainer connects all the same.
    Form->txtChannelConsole->setText("72");
    Click(Form->Button1);
    EXPECT_EQ(Device->RecieverType(), ulmVexa);
    EXPECT_EQ(Device->ChannelConsole(), 72);
    EXPECT_EQ(Device->ChannelTrainer(), 71);
    EXPECT_EQ(Device->ChannelSpeedCadence(), 57);
    EXPECT_TRUE(Device->Connected());
    Click(Form->Button2);

    // Vexa Naw: the trainer is an ANT+ device and the channel boxes are not read.
    AntSimStick(0)->Trainer().SetKind(TAntSimTrainerKind::NAW);
    Form->chkNaw->setChecked(true);
    Form->txtChannelTrainer->setText("not read");
    Messages().Boxes.clear();
    Click(Form->Button1);
    EXPECT_EQ(Device->RecieverType(), ulmNAW);
    EXPECT_TRUE(Device->Connected());
    EXPECT_EQ(BoxTexts().at(0), "Connesso");
}

TEST_F(FormTest, ConsoleAndLogHandlersReachTheLink) {
    Connect();
    ulma_ANT* link = TTreviaDeviceANT::Link();
    TAntSimConsole& console = Stick->Console();
    TAntSimTrainer& trainer = Stick->Trainer();
    const THandlerCase cases[] = {
        {"chkTX", [](TForm1* f) { f->chkTX->setChecked(false); }, [link] { return !link->LogEnabled; }},
        {"chkRX", [](TForm1* f) { f->chkRX->setChecked(false); }, [link] { return !link->RawLogEnabled; }},
        {"chkChannel",
         [](TForm1* f) {
             f->txtName->setText("2");
             f->chkChannel->setChecked(true);
         },
         [link] { return link->FilterOn && link->FilterChannel == 2; }},
        {"txtName", [](TForm1* f) { f->txtName->setText("3"); },
         [link] { return link->FilterOn && link->FilterChannel == 3; }},
        {"CheckBox1 on", [](TForm1* f) { f->CheckBox1->setChecked(true); },
         [&] { return console.Selected(); }},
        {"CheckBox1 off", [](TForm1* f) { f->CheckBox1->setChecked(false); },
         [&] { return !console.Selected(); }},
        {"Button4",
         [](TForm1* f) {
             f->TxtTreviaResistance->SetValue(77);
             Click(f->Button4);
         },
         [&] { return trainer.ResistanceLevel() == 77; }},
        {"cmdSleep", [](TForm1* f) { Click(f->cmdSleep); }, [&] { return console.Sleeping(); }},
    };
    for (const THandlerCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(c.holds());
        c.act(Form.get());
        EXPECT_TRUE(WaitUntil(c.holds, 5000));
    }
    EXPECT_TRUE(Messages().Boxes.empty());
}

TEST_F(FormTest, ARideUpdatesTheLiveValuesEveryStep) {
    Connect();
    int steps = 0;
    const TNotifyEvent display = Device->OnStats;
    std::vector<std::string> speeds;
    Device->OnStats = [&](TObject* s) {
        display(s);
        ++steps;
        speeds.push_back(Caption(Form->Label2));
        EXPECT_EQ(Caption(Form->Label2), FloatToStr(Device->GetSpeed()));
        EXPECT_EQ(Caption(Form->Label1), IntToStr(Device->GetCadence()));
        EXPECT_EQ(Caption(Form->lbl2), FloatToStr(Device->GetDistance()));
        EXPECT_EQ(Form->mmo1->Lines().Count(), 6);
    };
    Click(Form->Button62);
    // The strap sends its serial number only every few seconds: wait for a step that saw it.
    ASSERT_TRUE(WaitUntil([&] { return steps >= 4 && Caption(Form->Label35) != "0"; }));
    Click(Form->btn5);
    const TStrings& m = Form->mmo1->Lines();
    ASSERT_EQ(m.Count(), 6);
    EXPECT_EQ(m[0], Format("Calorie: %d ", Device->GetCalories()));
    EXPECT_EQ(m[1], Format("Max Cadence: %d ", Device->GetMaxCadence()));
    EXPECT_EQ(m[2], Format("Avg Cadence: %d ", Device->GetAvgCadence()));
    EXPECT_EQ(m[3], Format("VirtualSpeed: %f", Device->VirtualSpeed()));
    EXPECT_EQ(m[4], Format("Real Speed: %f", Device->RealSpeed()));
    EXPECT_EQ(m[5].rfind("Quality: ", 0), 0u);
    // The framework's %f: two decimals.
    const QRegularExpression twoDecimals("^[A-Za-z ]+: -?[0-9]+\\.[0-9]{2}$");
    EXPECT_TRUE(twoDecimals.match(QStr(m[3])).hasMatch()) << m[3];
    EXPECT_TRUE(twoDecimals.match(QStr(m[4])).hasMatch()) << m[4];
    // The widget shows what the lines hold.
    EXPECT_EQ(StdStr(Form->mmo1->toPlainText()),
              m[0] + "\n" + m[1] + "\n" + m[2] + "\n" + m[3] + "\n" + m[4] + "\n" + m[5]);
    EXPECT_EQ(Caption(Form->Label35), IntToStr(0xBEEF));  // the strap's serial number
    EXPECT_NE(speeds.back(), "0");
}

TEST_F(FormTest, ZeroSpeedStepsAreCounted) {
    int steps = 0;
    const TNotifyEvent display = Device->OnStats;
    Device->OnStats = [&](TObject* s) {
        display(s);
        ++steps;
    };
    Click(Form->Button62);  // not connected: every step has speed 0
    ASSERT_TRUE(WaitUntil([&] { return steps >= 3; }));
    Click(Form->btn5);
    EXPECT_EQ(Caption(Form->Label41), IntToStr(steps));
}

TEST_F(FormTest, SetTotalDistanceNeedsAFittingValue) {
    Connect();
    Stick->Trainer().ClearReceived();
    Click(Form->Button7);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Put a value in the box!"});
    Form->txtTotalDistance->setText("16777216");
    Click(Form->Button7);
    EXPECT_EQ(Messages().Boxes.size(), 2u);  // the conversion error
    Application()->Delay(1000);
    for (const auto& r : Stick->Trainer().Received()) EXPECT_NE(r.Page[0], 8);

    Form->txtTotalDistance->setText("74565");
    Click(Form->Button7);
    EXPECT_TRUE(WaitUntil([&] { return Stick->Trainer().TotalDistance() == 74565; }));
    Click(Form->Button6);
    EXPECT_EQ(Caption(Form->lblTotalDistance), "74565");
}

TEST_F(FormTest, AConsoleKeyReleaseIsLoggedAndHoldsTheOnScreenKey) {
    Connect();
    // When the key's line arrives, and what the on-screen key looks like meanwhile.
    uint32_t logged = 0;
    QObject::connect(Form->Memo1, &QPlainTextEdit::textChanged, Form->Memo1, [&] {
        if (!logged && LastLine(Form->Memo1) == "ckPlus") logged = GetTickCount();
    });
    std::vector<std::pair<uint32_t, bool>> samples;
    TTimer sampler(nullptr);
    sampler.SetInterval(25);
    sampler.OnTimer = [&](TObject*) { samples.push_back({GetTickCount(), Form->cmdUp->isEnabled()}); };
    Stick->Console().SetKey(0, true);
    ASSERT_TRUE(WaitUntil([&] { return TTreviaDeviceANT::Link()->ConsoleKeys[ckPlus].load(); }, 5000));
    Application()->Delay(300);  // held over several polls
    Stick->Console().SetKey(0, false);
    ASSERT_TRUE(WaitUntil([&] { return logged != 0; }, 5000));
    Application()->Delay(700);
    EXPECT_EQ(CountLines(Form->Memo1, "ckPlus"), 1);
    EXPECT_EQ(CountLines(Form->Memo1, "ckMinus"), 0);
    EXPECT_TRUE(Form->cmdUp->isEnabled());
    bool heldDown = false;
    uint32_t released = 0;
    for (auto [tick, enabled] : samples) {
        if (TickDiff(logged, tick) > 0x80000000u) continue;  // before the line
        if (!enabled) heldDown = true;
        if (enabled && heldDown && !released) released = tick;
    }
    EXPECT_TRUE(heldDown);
    ASSERT_NE(released, 0u);
    EXPECT_GE(TickDiff(logged, released), 500u);
}

// Set and Read buttons of one integer field, the memory bytes they touch and the logs.
struct TFieldCase {
    const char *set, *read;
    bool trainer;
    int address, length;
    int32_t value;
    const char *setLabel, *readLabel;
};

TEST_F(FormTest, FieldButtonsWriteAndReadTheirFieldAndLogIt) {
    Connect();
    const TFieldCase cases[] = {
        {"Button11", "Button10", true, 0x01, 1, 17,
         "-Set Trainer Firmware Value: ", "-Trainer Firmware Version:"},
        {"Button13", "Button12", true, 0x02, 2, 0x1234,
         "-Set Trainer Device Number: ", "-Trainer Device Number: "},
        {"Button14", "Button15", true, 0x04, 2, 300, "-Set Calibration P1: ", "-Calibration P1: "},
        {"Button17", "Button16", true, 0x06, 2, 301, "-Set Calibration P2: ", "-Calibration P2: "},
        {"Button19", "Button18", true, 0x08, 2, 302, "-Set Calibration P3: ", "-Calibration P3: "},
        {"Button20", "Button21", true, 0x0A, 1, 201, "-Set Calibration V1: ", "-Calibration V1: "},
        {"Button22", "Button23", true, 0x0B, 1, 202, "-Set Calibration V2: ", "-Calibration V2: "},
        {"Button25", "Button24", true, 0x0C, 1, 203, "-Set Calibration V3: ", "-Calibration V3: "},
        {"Button27", "Button26", true, 0x0D, 1, 204, "-Set Calibration B1: ", "-Calibration B1: "},
        {"Button28", "Button29", true, 0x0E, 1, 205, "-Set Calibration B2: ", "-Calibration B2: "},
        {"Button31", "Button30", true, 0x0F, 1, 206, "-Set Calibration B3: ", "-Calibration B3: "},
        {"Button32", "Button33", true, 0x10, 1, 4, "-Set Unit Type: ", "-Unit Type: "},
        {"Button60", "Button59", true, 0x19, 1, 25, "-Set Event per Turn: ", "-Event per Turn : "},
        {"Button41", "Button40", false, 0x01, 1, 6,
         "-Set Console Firmware Value: ", "-Console Firmware Value: "},
        {"Button43", "Button42", false, 0x02, 2, 0x0201,
         "-Set Console Serial Number: ", "-Console Device Number: "},
        {"Button46", "Button47", false, 0x04, 1, 3, "-Set Console Type : ", "-Console Type: "},
        {"Button49", "Button48", false, 0x08, 1, 12,
         "-Set Sensibility Plus: ", "-Console Plus Sensibility: "},
        {"Button51", "Button50", false, 0x09, 1, 13,
         "-Set Sensibility Minus: ", "-Console Minus Sensibility: "},
        {"Button53", "Button52", false, 0x0A, 1, 14,
         "-Set Sensibility Enter: ", "-Console Enter Sensibility: "},
        {"Button55", "Button54", false, 0x0B, 1, 15, "-Set Sensibility Tab: ", "-Console Tab Sensibility: "},
        {"Button57", "Button56", false, 0x0C, 2, 54321,
         "-Set Console Trainer Device Number: ", "-Console T.D.N.: "},
    };
    for (const TFieldCase& c : cases) {
        SCOPED_TRACE(c.set);
        Form->txtValue->SetValue(c.value);
        Click(Form->FieldButton(c.set));
        EXPECT_EQ(LastLine(Form->Memo1), c.setLabel + IntToStr(c.value));
        for (int k = 0; k < c.length; ++k) {
            const uint8_t b =
                c.trainer ? Stick->Trainer().Eprom()[c.address + k] : Stick->Console().Eprom()[c.address + k];
            EXPECT_EQ(b, (c.value >> (8 * k)) & 0xFF);
        }
        Click(Form->FieldButton(c.read));
        EXPECT_EQ(LastLine(Form->Memo1), c.readLabel + IntToStr(c.value));
    }
    EXPECT_TRUE(Messages().Boxes.empty());
}

TEST_F(FormTest, DateRollDiameterAndDistanceButtonsHaveTheirOwnLogs) {
    Connect();
    const TDateTime today = Date();
    Click(Form->FieldButton("Button35"));
    EXPECT_EQ(LastLine(Form->Memo1), "-Set Unit Production Date: " + DateToStr(today));
    Click(Form->FieldButton("Button34"));
    EXPECT_EQ(LastLine(Form->Memo1), "-Unit Production Date: " + DateToStr(today));
    Click(Form->FieldButton("Button44"));
    Click(Form->FieldButton("Button45"));
    EXPECT_EQ(LastLine(Form->Memo1), "-Console Production Date: " + DateToStr(today));

    Form->txtValue->SetValue(45);
    Form->txtDecimal->setText("7");
    Click(Form->FieldButton("Button37"));
    EXPECT_EQ(LastLine(Form->Memo1), "-Set Roll Diameter: 45,7");
    EXPECT_EQ(Stick->Trainer().Eprom()[0x14], 45);
    EXPECT_EQ(Stick->Trainer().Eprom()[0x15], 7);
    Click(Form->FieldButton("Button36"));
    EXPECT_EQ(LastLine(Form->Memo1), "-Roll Diameter: 45.07");

    Form->txtValue->SetValue(74565);
    Click(Form->FieldButton("Button39"));
    EXPECT_EQ(LastLine(Form->Memo1), "74565");
    Click(Form->FieldButton("Button38"));
    EXPECT_EQ(LastLine(Form->Memo1), "-Total Distance: 74565");

    // A value that does not fit: refused, not logged.
    const int lines = Form->Memo1->Lines().Count();
    Form->txtValue->SetValue(256);
    Click(Form->FieldButton("Button27"));
    EXPECT_EQ(Form->Memo1->Lines().Count(), lines);
    EXPECT_EQ(Messages().Boxes.size(), 1u);
}

TEST_F(FormTest, RawGridsReadAndWriteTheMemories) {
    Connect();
    for (int k = 0; k < 4; ++k) Stick->Trainer().SetEpromByte(10 + k, uint8_t(91 + k));
    Form->Cmb_Address->setEditText("10");
    Form->Edt_NumByte->SetValue(4);
    Click(Form->btn_ReadEprom);
    for (int r = 9; r <= 12; ++r) EXPECT_EQ(Form->GridEprom->Cells(1, r), IntToStr(91 + r - 9)) << r;
    EXPECT_EQ(Form->GridEprom->Cells(1, 13), "100");
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Eprom Read Succefully"});

    Messages().Boxes.clear();
    Stick->Trainer().ClearReceived();
    Form->Cmb_Address->setEditText("2");
    Form->Edt_NumByte->SetValue(2);
    Form->GridEprom->SetCells(1, 1, "52");
    Form->GridEprom->SetCells(1, 2, "48");
    Click(Form->btn_WriteEprom);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Scrittura esegita!"});
    EXPECT_EQ(Stick->Trainer().Eprom()[2], 52);
    EXPECT_EQ(Stick->Trainer().Eprom()[3], 48);
    bool sent = false;
    for (const auto& r : Stick->Trainer().Received())
        if (r.Page[0] == 3) {
            EXPECT_EQ(r.Page, (TAntPage{3, 2, 0, 2, 52, 48, 0, 0}));
            sent = true;
        }
    EXPECT_TRUE(sent);

    // Console: no box on a read; a cell that is no byte is refused before sending.
    Messages().Boxes.clear();
    Stick->Console().SetEpromByte(8, 33);
    Stick->Console().SetEpromByte(9, 44);
    Form->ComboAddressConsole->setEditText("8");
    Form->edt_numByteConsole->SetValue(2);
    Click(Form->Button3);
    EXPECT_EQ(Form->GridConsole->Cells(1, 7), "33");
    EXPECT_EQ(Form->GridConsole->Cells(1, 8), "44");
    EXPECT_TRUE(Messages().Boxes.empty());
    Stick->Console().ClearReceived();
    Form->GridConsole->SetCells(1, 8, "256");
    Click(Form->Button8);
    ASSERT_EQ(Messages().Boxes.size(), 1u);
    EXPECT_NE(Messages().Boxes[0].text, "Scrittura esegita!");
    Application()->Delay(500);
    for (const auto& r : Stick->Console().Received()) EXPECT_NE(r.Page[0], 3);
    EXPECT_EQ(Stick->Console().Eprom()[9], 44);
}

TEST_F(FormTest, WithoutALinkRawReadFailsAndDumpsStop) {
    const std::string before = Form->GridEprom->Cells(1, 0);
    Click(Form->btn_ReadEprom);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Eprom Read Failed"});
    EXPECT_EQ(Form->GridEprom->Cells(1, 0), before);
    Messages().Boxes.clear();
    Click(Form->Button64);
    EXPECT_EQ(Form->mmo1->Lines().Count(), 0);
    ASSERT_EQ(Messages().Boxes.size(), 1u);
    EXPECT_TRUE(Messages().Boxes[0].flags & MB_ICONERROR);
}

TEST_F(FormTest, DumpsListEveryFieldInOrder) {
    Connect();
    Click(Form->Button64);
    Click(Form->Button63);
    const char* labels[] = {"-Trainer Firmware Version:",
                            "-Trainer Device Number: ",
                            "-Calibration P1: ",
                            "-Calibration P2: ",
                            "-Calibration P3: ",
                            "-Calibration V1: ",
                            "-Calibration V2: ",
                            "-Calibration V3: ",
                            "-Calibration B1: ",
                            "-Calibration B2: ",
                            "-Calibration B3: ",
                            "-Unit Type: ",
                            "-Unit Production Date: ",
                            "-Roll Diameter: ",
                            "-Total Distance: ",
                            "-Event per Turn : ",
                            "-Console Device Number: ",
                            "-Console Firmware Value: ",
                            "-Console Type: ",
                            "-Console Production Date: ",
                            "-Console Plus Sensibility: ",
                            "-Console Minus Sensibility: ",
                            "-Console Enter Sensibility: ",
                            "-Console Tab Sensibility: ",
                            "-Console T.D.N.: "};
    const TStrings& m = Form->mmo1->Lines();
    ASSERT_EQ(m.Count(), 25);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(m[i].rfind(labels[i], 0), 0u) << m[i];
    EXPECT_EQ(m[1], "-Trainer Device Number: " +
                        IntToStr(Stick->Trainer().Eprom()[2] + 256 * Stick->Trainer().Eprom()[3]));
}

TEST_F(FormTest, LifetimeButtonShowsTheLifetimeWindow) {
    TForm2 lifetime(Form.get());
    Form->LifetimeForm = &lifetime;
    EXPECT_FALSE(lifetime.isVisible());
    Click(Form->btn3);
    EXPECT_TRUE(lifetime.isVisible());
    EXPECT_EQ(lifetime.windowTitle(), "Lifetime test");
    lifetime.hide();
}

}  // namespace

namespace {

std::vector<std::string> Shown(TMemo* memo) {
    std::vector<std::string> out;
    for (const QString& l : memo->toPlainText().split('\n')) out.push_back(StdStr(l));
    return out;
}

std::vector<std::string> Listed(TMemo* memo) {
    std::vector<std::string> out;
    for (int i = 0; i < memo->Lines().Count(); ++i) out.push_back(memo->Lines()[i]);
    return out;
}

}  // namespace

// A memo with a maximum keeps its latest lines, in the list and on screen alike.
TEST_F(ConsoleTest, MemoWithAMaximumDropsItsOldestLines) {
    TMemo memo(nullptr);
    TStrings& l = memo.Lines();
    for (const char* s : {"a", "b", "c", "d"}) l.Add(s);
    memo.SetMaxLines(3);  // lowering it drops at once
    EXPECT_EQ(Listed(&memo), (std::vector<std::string>{"b", "c", "d"}));
    l.Add("e");
    l.Add("f");
    EXPECT_EQ(Listed(&memo), (std::vector<std::string>{"d", "e", "f"}));
    EXPECT_EQ(Shown(&memo), Listed(&memo));
    l.Insert(1, "x");  // wherever a line goes in, the first ones make room
    EXPECT_EQ(Listed(&memo), (std::vector<std::string>{"x", "e", "f"}));
    EXPECT_EQ(Shown(&memo), Listed(&memo));
    l.Delete(0);
    l.Add("g");
    EXPECT_EQ(Listed(&memo), (std::vector<std::string>{"e", "f", "g"}));
    EXPECT_EQ(Shown(&memo), Listed(&memo));
    memo.SetMaxLines(0);
    for (const char* s : {"h", "i"}) l.Add(s);
    EXPECT_EQ(Listed(&memo), (std::vector<std::string>{"e", "f", "g", "h", "i"}));
    EXPECT_EQ(Shown(&memo), Listed(&memo));
}

// The radio log of a long ride: its oldest lines go.
TEST_F(FormTest, TheRadioLogKeepsItsLatestLines) {
    TStrings& log = Form->Memo1->Lines();
    for (int i = 0; i < RadioLogMaxLines + 3; ++i) log.Add("line " + IntToStr(i));
    ASSERT_EQ(log.Count(), RadioLogMaxLines);
    EXPECT_EQ(log[0], "line 3");
    EXPECT_EQ(LastLine(Form->Memo1), "line " + IntToStr(RadioLogMaxLines + 2));
    const std::vector<std::string> shown = Shown(Form->Memo1);
    ASSERT_EQ(shown.size(), static_cast<size_t>(RadioLogMaxLines));
    EXPECT_EQ(shown.front(), "line 3");
    EXPECT_EQ(shown.back(), "line " + IntToStr(RadioLogMaxLines + 2));
}
