#pragma once
// Saves the process-wide format settings and installs known ones; restores them afterwards.
#include "platform/rtl/SysUtils.h"

class FormatSettingsGuard {
  public:
    FormatSettingsGuard() : FSaved(FormatSettings()) {
        TFormatSettings& fs = FormatSettings();
        fs.DecimalSeparator = '.';
        fs.ThousandSeparator = ',';
        fs.CurrencyString = "$";
        fs.CurrencyFormat = 0;
        fs.NegCurrFormat = 1;
        fs.CurrencyDecimals = 2;
    }
    ~FormatSettingsGuard() { FormatSettings() = FSaved; }
    // The comma-separator variant used by continental locales.
    static void UseComma() {
        FormatSettings().DecimalSeparator = ',';
        FormatSettings().ThousandSeparator = '.';
    }

  private:
    TFormatSettings FSaved;
};
