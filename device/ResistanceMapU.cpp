#include "device/ResistanceMapU.h"

#include "platform/framework/Filer.h"
#include "platform/rtl/Math.h"

const char* const MQorErrorTexts[6] = {
    "One or more competitor(s) not ready to start",
    "Course not ready to Start",
    "Error while UnAssignDeviceSourceEvents",
    "This function can't accept a DeviceType Unknown or this device is not compatible",
    "Error while reading the resistance map",
    "CompetitorList unAssigned",
};

namespace {

const char kTab = '\t';

std::string MQorText(int32_t code) {
    // An unknown code gets no table text rather than reading past the table.
    return (code >= 0 && code < 6) ? MQorErrorTexts[code] : "";
}

// Linear interpolation between (x1, y1) and (x2, y2); the map must increase in both.
long double Interpolate(long double x1, long double y1, long double x2, long double y2, long double x) {
    if (x1 > x2 || y1 > y2) throw Exception("x1>x2 or y1>y2");
    if (x1 == x2) return y1;
    return y1 + (x - x1) / (x2 - x1) * (y2 - y1);
}

}  // namespace

EMQor::EMQor(int32_t ACode, const std::string& Extra)
    : Exception(Format(MQorText(ACode) + " (Error code: %d)\r\n%s", ACode, Extra)), FCode(ACode) {}

// ---- field helpers ----

void CutFirstField(std::string& S, char Separator, std::string& Field) {
    std::string::size_type p = S.find(Separator);
    if (p == std::string::npos) {
        Field = S;
        S.clear();
    } else {
        Field = S.substr(0, p);
        S.erase(0, p + 1);
    }
}

int CountFields(const std::string& S, char Separator) {
    std::string rest = S, field;
    int n = 0;
    while (!rest.empty()) {
        CutFirstField(rest, Separator, field);
        ++n;
    }
    return n;
}

std::string GetField(const std::string& S, char Separator, int Index) {
    if (Index < 0) return "";
    std::string rest = S, field;
    for (int i = 0; i <= Index; ++i) {
        if (rest.empty()) return "";
        CutFirstField(rest, Separator, field);
    }
    return field;
}

std::string ReplaceChar(char From, char To, const std::string& S) {
    std::string r = S;
    for (char& c : r)
        if (c == From) c = To;
    return r;
}

// ---- TResistanceMap ----

TResistanceMap::TResistanceMap(TComponent* AOwner)
    : TComponent(AOwner), FStrings(std::make_unique<TStringList>()) {
    FStrings->OnChange = [this](TObject* Sender) { StringsChange(Sender); };
    FStrings->OnChanging = [this](TObject* Sender) { StringsChanging(Sender); };
}

TResistanceMap::~TResistanceMap() {
    FOnChange = nullptr;
    FOnChanging = nullptr;
    FStrings->OnChange = nullptr;
    FStrings->OnChanging = nullptr;
    FStrings.reset();
}

void TResistanceMap::SetStrings(TStrings* Value) {
    FStrings->Assign(Value);
}

void TResistanceMap::SetTreviaVersion(double Value) {
    if (Value != FTreviaVersion) FTreviaVersion = Value;
}

void TResistanceMap::SetResistanceMapAdapter(double Value) {
    if (Value == 0) Value = 1.0;
    if (Value != FResistanceMapAdapter) FResistanceMapAdapter = Value;
}

void TResistanceMap::SetResistanceLatency(int32_t Value) {
    if (Value != FResistanceLatency) FResistanceLatency = Value;
}

void TResistanceMap::SetMinPower(int32_t Value) {
    if (Value != FMinPower) FMinPower = Value;
}

void TResistanceMap::SetMaxPower(int32_t Value) {
    if (Value != FMaxPower) FMaxPower = Value;
}

void TResistanceMap::SetMapCalibration(TMapCalibration* Value) {
    if (Value == FMapCalibration) return;
    if (FMapCalibration != nullptr) FMapCalibration->RemoveFreeNotification(this);
    FMapCalibration = Value;
    if (Value != nullptr) Value->FreeNotification(this);
}

void TResistanceMap::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && FMapCalibration != nullptr && AComponent == FMapCalibration)
        FMapCalibration = nullptr;
}

void TResistanceMap::CopyFrom(const TResistanceMap& Source) {
    FStrings->Assign(Source.FStrings.get());
    SetTreviaVersion(Source.FTreviaVersion);
    SetResistanceMapAdapter(Source.FResistanceMapAdapter);
    SetResistanceLatency(Source.FResistanceLatency);
    SetMinPower(Source.FMinPower);
    SetMaxPower(Source.FMaxPower);
    SetMapCalibration(Source.FMapCalibration);
}

void TResistanceMap::Assign(TPersistent* Source) {
    if (auto* list = dynamic_cast<TStrings*>(Source)) {
        FStrings->Assign(list);
    } else if (auto* map = dynamic_cast<TResistanceMap*>(Source)) {
        if (map != this) CopyFrom(*map);
    } else {
        TComponent::Assign(Source);
    }
}

void TResistanceMap::AssignTo(TPersistent* Dest) {
    if (auto* list = dynamic_cast<TStrings*>(Dest)) {
        list->Assign(FStrings.get());
    } else if (auto* map = dynamic_cast<TResistanceMap*>(Dest)) {
        if (map != this) map->CopyFrom(*this);
    } else {
        TComponent::AssignTo(Dest);
    }
}

void TResistanceMap::StringsChange(TObject*) {
    if (!HasState(csLoading)) Changed();
}

void TResistanceMap::StringsChanging(TObject*) {
    if (!HasState(csLoading)) Changing();
}

void TResistanceMap::Changed() {
    if (FOnChange) FOnChange(this);
}

void TResistanceMap::Changing() {
    if (FOnChanging) FOnChanging(this);
}

void TResistanceMap::DoResistanceMapLoaded() {
    if (OnResistanceMapLoaded) OnResistanceMapLoaded(this);
}

// ---- stored form ----

bool TResistanceMap::StrDataHasData(TFiler* Filer) const {
    // Against an ancestor map with as many lines: only when a line differs.
    auto* ancestor = dynamic_cast<TResistanceMap*>(Filer->Ancestor());
    const int n = FStrings->Count();
    if (ancestor != nullptr && ancestor->FStrings->Count() == n && n > 0) {
        for (int i = 0; i < n; ++i)
            if (CompareText(FStrings->Get(i), ancestor->FStrings->Get(i)) != 0) return true;
        return false;
    }
    return n > 0;
}

void TResistanceMap::DefineProperties(TFiler* Filer) {
    TComponent::DefineProperties(Filer);
    Filer->DefineProperty(
        "StrData",
        [this](TReader* Reader) {
            Reader->ReadListBegin();
            FStrings->Clear();
            while (!Reader->EndOfList()) FStrings->Add(Reader->ReadString());
            Reader->ReadListEnd();
        },
        [this](TWriter* Writer) {
            Writer->WriteListBegin();
            for (int i = 0; i < FStrings->Count(); ++i) Writer->WriteString(FStrings->Get(i));
            Writer->WriteListEnd();
        },
        StrDataHasData(Filer));
}

// ---- parsing and computation ----

void TResistanceMap::ParseStrings() {
    FTable.clear();
    const int rows = FStrings->Count();
    // A map without lines parses into an empty table (the lookup then answers 0).
    FColCount = rows > 0 ? CountFields(FStrings->Get(0), kTab) : 0;
    FTable.assign(rows, std::vector<double>(FColCount, 0.0));

    TFormatSettings fs = FormatSettings();
    const char sep = fs.DecimalSeparator != '\0' ? fs.DecimalSeparator : '.';
    fs.DecimalSeparator = sep;
    try {
        for (int i = 0; i < rows; ++i) {
            const std::string line = FStrings->Get(i);
            for (int j = 0; j < FColCount; ++j) {
                std::string field = GetField(line, kTab, j);
                if (field.empty() || field == " ") continue;
                if (sep != ',') field = ReplaceChar(',', sep, field);
                FTable[i][j] = static_cast<double>(StrToFloat(field, fs));
            }
        }
    } catch (const std::exception& e) {
        // Message() keeps a field's bytes past a NUL, which what() would cut.
        const auto* ex = dynamic_cast<const Exception*>(&e);
        throw EMQor::CreateCode(4, std::string("Please, contact the Valtura support") + "\r\n\r\n" +
                                       (ex ? ex->Message() : std::string(e.what())));
    }
    DoResistanceMapLoaded();
}

void TResistanceMap::ApplyAdapter() {
    if (FTreviaVersion < 4) return;
    if (FResistanceMapAdapter == 0) FResistanceMapAdapter = 1.0;
    for (size_t i = 1; i < FTable.size(); ++i)
        for (int j = 1; j < FColCount; ++j)
            FTable[i][j] = static_cast<double>(Round(static_cast<long double>(FTable[i][j]) *
                                                     static_cast<long double>(FResistanceMapAdapter)));
}

void TResistanceMap::ComputePowerRange() {
    FMinPower = 1000000;
    FMaxPower = 0;
    if (FTreviaVersion < 4) return;
    for (size_t i = 1; i < FTable.size(); ++i)
        for (int j = 1; j < FColCount; ++j) {
            const int32_t p = static_cast<int32_t>(Round(FTable[i][j]));
            if (p > FMaxPower) SetMaxPower(p);
            if (p > 0 && p < FMinPower) SetMinPower(p);
        }
}

uint8_t TResistanceMap::GetPowerForSpeed(int32_t& Power, int32_t TargetPower, bool IsMiles,
                                         long double Speed) {
    if (IsMiles) Speed = Speed * 1.609L;
    if (Speed == 0) return 0;
    // Needs a speed row and a level, and a speed column besides column 0.
    const int rows = static_cast<int>(FTable.size());
    if (rows < 2 || FColCount < 2) return 0;

    const std::vector<double>& speeds = FTable[0];
    const int last = FColCount - 1;
    int lo = 1, hi = 1;
    for (int c = last; c >= 1; --c) {
        if (speeds[c] <= Speed) {
            lo = c;
            hi = (Speed == speeds[c] || c == last) ? c : c + 1;
            break;
        }
    }

    auto powerAt = [&](int row) {
        return Interpolate(speeds[lo], FTable[row][lo], speeds[hi], FTable[row][hi], Speed);
    };

    // The highest level that has a power at the upper bracket speed, never below level 1.
    int top = rows - 1;
    while (top > 1 && FTable[top][hi] == 0) --top;
    int row = top;
    long double p = powerAt(row);
    while (TargetPower <= p && row > 1) {
        --row;
        p = powerAt(row);
    }

    if (row == top) {
        Power = static_cast<int32_t>(Round(p));
        return 1;
    }
    if (TargetPower > p) {
        Power = TargetPower;
        return 3;
    }
    Power = static_cast<int32_t>(Round(p));
    return 2;
}
