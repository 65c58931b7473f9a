// The lifetime-test window.
#include "console/Unit2.h"

#include <algorithm>

#include "console/Unit1.h"
#include "platform/rtl/SysUtils.h"

TForm2* Form2 = nullptr;

TForm2::TForm2(TForm1* MainForm, QWidget* parent) : QWidget(parent), FMainForm(MainForm) {
    setObjectName("Form2");
    setWindowTitle("Lifetime test");
    setFixedSize(300, 190);
    QFont f("DejaVu Sans Condensed");
    f.setPixelSize(11);
    setFont(f);

    NewLabel(this, nullptr, "Timer :", 12, 14);
    txtOre = NewEdit(this, "txtOre", "00", 110, 12, 40);
    txtMinuti = NewEdit(this, "txtMinuti", "00", 156, 12, 40);
    txtSecondi = NewEdit(this, "txtSecondi", "00", 202, 12, 40);
    NewLabel(this, nullptr, "Max parameter:", 12, 44);
    txtMaxParameter = NewSpinEdit(this, "txtMaxParameter", 0, 0, 0, 110, 42, 80);
    NewLabel(this, nullptr, "Time Step:", 12, 74);
    txtTimeStep = NewSpinEdit(this, "txtTimeStep", 0, 0, 0, 110, 72, 80);
    NewLabel(this, nullptr, "Byte Step:", 12, 104);
    txtByteStep = NewSpinEdit(this, "txtByteStep", 0, 0, 0, 110, 102, 80);
    btnStart = NewButton(this, "btnStart", "Start", 12, 146, 80, 25, [this] { btnStartClick(); });
    btnStop = NewButton(this, "btnStop", "Stop", 100, 146, 80, 25, [this] { btnStopClick(); });

    tmr1 = std::make_unique<TTumoThreadTimer>(nullptr);
    tmr1->SetName("tmr1");
    tmr1->OnTimer = [this](TObject* s) { RunHandler([this, s] { tmr1Timer(s); }); };
}

TForm2::~TForm2() {
    if (Form2 == this) Form2 = nullptr;
    tmr1.reset();
}

void TForm2::btnStartClick() {
    FSeconds = FMinutes = FHours = 0;
    txtOre->setText("00");
    txtMinuti->setText("00");
    txtSecondi->setText("00");
    tmr1->SetEnabled(true);
    FUp = true;
}

void TForm2::btnStopClick() {
    tmr1->SetEnabled(false);
}

void TForm2::tmr1Timer(TObject* /*Sender*/) {
    if (++FSeconds > 59) {
        FSeconds = 0;
        if (++FMinutes > 59) {
            FMinutes = 0;
            ++FHours;
        }
    }
    txtOre->setText(QStr(IntToStr(FHours)));
    txtMinuti->setText(QStr(IntToStr(FMinutes)));
    txtSecondi->setText(QStr(IntToStr(FSeconds)));
    // A step below one second has no multiples: the level stays.
    const int32_t step = txtTimeStep->Value();
    if (step < 1) return;
    const int64_t t = int64_t(FHours) * 3600 + FMinutes * 60 + FSeconds;
    if (t % step != 0 || !FMainForm) return;
    const int32_t b = StrToInt(Text(txtByteStep));
    const int32_t c = FMainForm->TxtTreviaResistance->Value();
    if (int64_t(b) + c >= txtMaxParameter->Value()) FUp = false;
    if (int64_t(c) - b < 1) FUp = true;
    const int64_t next = FUp ? int64_t(c) + b : int64_t(c) - b;
    TSpinEdit* level = FMainForm->TxtTreviaResistance;
    level->SetValue(static_cast<int32_t>(std::clamp<int64_t>(next, level->minimum(), level->maximum())));
    Click(FMainForm->Button4);
}
