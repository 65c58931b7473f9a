// The console's controls over Qt widgets.
#include "console/Controls.h"

#include <QHeaderView>
#include <QTextDocument>
#include <algorithm>
#include <climits>

#include "platform/framework/Application.h"
#include "platform/rtl/SysUtils.h"

QString QStr(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string StdStr(const QString& s) {
    return s.toLatin1().toStdString();
}

// ---------------------------------------------------------------- memo

void TMemoLines::CheckIndex(int index, bool allowEnd) const {
    if (index < 0 || index > Count() || (!allowEnd && index == Count()))
        throw EListError(Format("List index out of bounds (%d)", index));
}

std::string TMemoLines::Get(int index) const {
    CheckIndex(index, false);
    return FLines[index];
}

void TMemoLines::Put(int index, const std::string& s) {
    CheckIndex(index, false);
    FLines[index] = s;
    Refill();
}

void TMemoLines::Insert(int index, const std::string& s) {
    CheckIndex(index, true);
    const bool atEnd = index == Count();
    FLines.insert(FLines.begin() + index, s);
    // Beyond the maximum the first lines go (the widget drops its first blocks itself).
    while (FMaxLines > 0 && Count() > FMaxLines) FLines.pop_front();
    if (!atEnd) return Refill();
    FMemo->appendPlainText(QStr(s));
    if (FMemo->document()->blockCount() != Count()) Refill();
}

void TMemoLines::SetMaxLines(int n) {
    FMaxLines = std::max(0, n);
    FMemo->setMaximumBlockCount(FMaxLines);
    if (FMaxLines == 0 || Count() <= FMaxLines) return;
    FLines.erase(FLines.begin(), FLines.end() - FMaxLines);
    Refill();
}

void TMemoLines::Delete(int index) {
    CheckIndex(index, false);
    FLines.erase(FLines.begin() + index);
    Refill();
}

void TMemoLines::Clear() {
    FLines.clear();
    FMemo->clear();
}

void TMemoLines::Refill() {
    QStringList lines;
    for (const std::string& s : FLines) lines << QStr(s);
    FMemo->setPlainText(lines.join('\n'));
}

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent), FLines(this) {
    setLineWrapMode(QPlainTextEdit::NoWrap);
}

// ---------------------------------------------------------------- grid

TStringGrid::TStringGrid(QWidget* parent, int cols, int rows) : QTableWidget(rows, cols, parent) {
    horizontalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(18);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            auto* item = new QTableWidgetItem();
            if (c == 0) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
            setItem(r, c, item);
        }
}

std::string TStringGrid::Cells(int col, int row) const {
    const QTableWidgetItem* it = item(row, col);
    return it ? StdStr(it->text()) : std::string();
}

void TStringGrid::SetCells(int col, int row, const std::string& s) {
    if (QTableWidgetItem* it = item(row, col)) it->setText(QStr(s));
}

// ---------------------------------------------------------------- spin edit

TSpinEdit::TSpinEdit(QWidget* parent, int minValue, int maxValue, int value) : QSpinBox(parent) {
    // Its text is read back as a number: plain digits and minus sign, whatever the locale's
    // own (a locale with digits of its own made the text "??").
    setLocale(QLocale::c());
    if (minValue == 0 && maxValue == 0)
        setRange(INT_MIN, INT_MAX);
    else
        setRange(minValue, maxValue);
    setValue(value);
}

// ---------------------------------------------------------------- handlers

void RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        Application()->HandleException();
    }
}

void Click(QAbstractButton* button) {
    emit button->clicked(button->isChecked());
}

// ---------------------------------------------------------------- builders

QPushButton* NewButton(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h,
                       const std::function<void()>& onClick) {
    auto* b = new QPushButton(QString::fromLatin1(caption), parent);
    b->setObjectName(name);
    b->setGeometry(x, y, w, h);
    QObject::connect(b, &QPushButton::clicked, b, [onClick] { RunHandler(onClick); });
    return b;
}

QCheckBox* NewCheckBox(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h,
                       bool checked) {
    auto* c = new QCheckBox(QString::fromLatin1(caption), parent);
    c->setObjectName(name);
    c->setGeometry(x, y, w, h);
    c->setChecked(checked);
    return c;
}

QLabel* NewLabel(QWidget* parent, const char* name, const char* caption, int x, int y, int w, int h) {
    auto* l = new QLabel(QString::fromLatin1(caption), parent);
    if (name) l->setObjectName(name);
    if (w < 0) w = l->sizeHint().width();
    l->setGeometry(x, y, w, h);
    return l;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const char* text, int x, int y, int w, int h) {
    auto* e = new QLineEdit(QString::fromLatin1(text), parent);
    e->setObjectName(name);
    e->setGeometry(x, y, w, h);
    return e;
}

TSpinEdit* NewSpinEdit(QWidget* parent, const char* name, int minValue, int maxValue, int value, int x, int y,
                       int w, int h) {
    auto* s = new TSpinEdit(parent, minValue, maxValue, value);
    s->setObjectName(name);
    s->setGeometry(x, y, w, h);
    return s;
}

uint8_t StrToByte(const std::string& text) {
    const int32_t v = StrToInt(text);
    if (v < 0 || v > 255) throw EConvertError(Format("'%d' is not a valid byte value", v));
    return static_cast<uint8_t>(v);
}

std::string Text(const QLineEdit* e) {
    return StdStr(e->text());
}
std::string Text(const QComboBox* c) {
    return StdStr(c->currentText());
}
std::string Text(const QAbstractSpinBox* s) {
    return StdStr(s->text());
}
std::string Caption(const QLabel* l) {
    return StdStr(l->text());
}
void SetCaption(QLabel* l, const std::string& s) {
    l->setText(QStr(s));
}
