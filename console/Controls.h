#pragma once
// The console's controls: Qt widgets with the small part of the original control API the
// forms use (memo lines as a string list, grid cells, spin-edit values), and the helpers
// that build a form from absolute positions and run handlers the framework's way.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"

QString QStr(const std::string& s);
std::string StdStr(const QString& s);

// The lines of a memo: a string list that mirrors itself into the text widget.
class TMemoLines : public TStrings {
public:
    explicit TMemoLines(QPlainTextEdit* Memo) : FMemo(Memo) {}
    int Count() const override { return static_cast<int>(FLines.size()); }
    std::string Get(int index) const override;
    void Put(int index, const std::string& s) override;
    TObject* GetObject(int) const override { return nullptr; }
    void PutObject(int, TObject*) override {}
    void Insert(int index, const std::string& s) override;
    void Delete(int index) override;
    void Clear() override;
    // With a maximum (0: none), a line added at the end drops the oldest lines beyond it.
    int MaxLines() const { return FMaxLines; }
    void SetMaxLines(int n);

private:
    void CheckIndex(int index, bool allowEnd) const;
    void Refill();
    QPlainTextEdit* FMemo;
    std::deque<std::string> FLines;
    int FMaxLines = 0;
};

class TMemo : public QPlainTextEdit {
public:
    explicit TMemo(QWidget* parent);
    TStrings& Lines() { return FLines; }
    // A log that runs for hours keeps only its latest lines.
    int MaxLines() const { return FLines.MaxLines(); }
    void SetMaxLines(int n) { FLines.SetMaxLines(n); }

private:
    TMemoLines FLines;
};

// A string grid: column 0 holds the labels (read-only), the other columns values.
class TStringGrid : public QTableWidget {
public:
    TStringGrid(QWidget* parent, int cols, int rows);
    std::string Cells(int col, int row) const;
    void SetCells(int col, int row, const std::string& s);
};

// A spin edit; with MinValue = MaxValue = 0 it has no bounds.
class TSpinEdit : public QSpinBox {
public:
    TSpinEdit(QWidget* parent, int minValue, int maxValue, int value);
    int32_t Value() const { return value(); }
    void SetValue(int32_t v) { setValue(v); }
};

// Runs a handler; an exception goes to the application's error box, as a handler's would.
void RunHandler(const std::function<void()>& handler);
// Clicks a button in code: its handler runs even while the button is disabled.
void Click(QAbstractButton* button);

// Builders: a control with its object name, caption and geometry on `parent`.
QPushButton* NewButton(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h,
                       const std::function<void()>& onClick);
QCheckBox* NewCheckBox(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h,
                       bool checked);
QLabel* NewLabel(QWidget* parent, const char* name, const char* caption, int x, int y, int w = -1,
                 int h = 17);
QLineEdit* NewEdit(QWidget* parent, const char* name, const char* text, int x, int y, int w, int h = 21);
TSpinEdit* NewSpinEdit(QWidget* parent, const char* name, int minValue, int maxValue, int value, int x, int y,
                       int w, int h = 22);

// The integer of `text` as one byte; any other value is refused as a conversion error.
uint8_t StrToByte(const std::string& text);

std::string Text(const QLineEdit* e);
std::string Text(const QComboBox* c);
std::string Text(const QAbstractSpinBox* s);
std::string Caption(const QLabel* l);
void SetCaption(QLabel* l, const std::string& s);
