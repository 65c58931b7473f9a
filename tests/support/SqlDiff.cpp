#include "tests/support/SqlDiff.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/QueryStatement.h"
#include "db/sql/SqlQuerySupport.h"
#include "db/storage/Encodings.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/Library.h"
#include "tests/support/ForkChild.h"
#include "tests/support/ScratchDir.h"

namespace sqldiff {

namespace {

// ---- Values, tables, statements ----------------------------------------------------------

// Dec: DECIMAL(10,2); Memo: a BLOB of texts, written and read but not named in expressions;
// Stamp: TIMESTAMP.
enum class TType : uint8_t { Int, Real, Str, Bool, Date, Dec, Time, Memo, Stamp };
// The letter that begins the names of a type's columns.
constexpr const char* TypeLetters = "nfsbdmtxw";

struct TValue {
    enum TKind : uint8_t { Null, Int, Real, Text } Kind = Null;
    int64_t I = 0;
    double D = 0;
    std::string S;
    double Number() const { return Kind == Int ? double(I) : D; }
};

inline TValue IntValue(int64_t i) {
    return {TValue::Int, i, 0, {}};
}
inline TValue RealValue(double d) {
    return {TValue::Real, 0, d, {}};
}
inline TValue TextValue(std::string s) {
    return {TValue::Text, 0, 0, std::move(s)};
}

// Dates are texts 'YYYY-MM-DD' on both sides; this engine stores the day number, day 1 being
// 1 January of the year 1.
int32_t DayNumber(const std::string& text) {
    int y = 0, m = 0, d = 0;
    std::sscanf(text.c_str(), "%d-%d-%d", &y, &m, &d);
    y -= m <= 2;
    const int era = y / 400, yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 305;  // days from 1 March of the year 0, moved to 1 January 1 as day 1
}
// Times are texts 'HH:MM:SS' on both sides; this engine stores milliseconds of the day.
int32_t TimeMs(const std::string& text) {
    int h = 0, m = 0, sec = 0;
    std::sscanf(text.c_str(), "%d:%d:%d", &h, &m, &sec);
    return ((h * 60 + m) * 60 + sec) * 1000;
}
std::string TimeText(int32_t ms) {
    char b[16];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60);
    return b;
}

std::string DateText(int32_t day) {
    const int z = day + 305, era = z / 146097, doe = z - era * 146097;
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    char b[40];  // room for any int the compiler cannot rule out
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", era * 400 + yoe + (m <= 2), m, d);
    return b;
}

// Timestamps are texts 'YYYY-MM-DD HH:MM:SS' on both sides; this engine stores the
// milliseconds since the start of day 1.
double StampMs(const std::string& text) {
    return double(DayNumber(text)) * 86400000.0 + TimeMs(text.substr(11));
}
std::string StampText(double ms) {
    const double day = std::floor(ms / 86400000.0);
    return DateText(int32_t(day)) + " " + TimeText(int32_t(ms - day * 86400000.0));
}

// As a constant in a statement (a real always with its point, so that it stays a real).
std::string Literal(const TValue& v) {
    if (v.Kind == TValue::Null) return "NULL";
    if (v.Kind == TValue::Int) return std::to_string(v.I);
    if (v.Kind == TValue::Text) return "'" + v.S + "'";
    char b[48];
    std::snprintf(b, sizeof b, "%.17g", v.D);
    return std::strpbrk(b, ".en") ? b : std::string(b) + ".0";
}

// Numbers are equal by value (reals within rounding: sums and averages may add up in
// another order); texts exactly.
bool Same(const TValue& a, const TValue& b) {
    if (a.Kind == TValue::Null || b.Kind == TValue::Null) return a.Kind == b.Kind;
    if (a.Kind == TValue::Text || b.Kind == TValue::Text) return a.Kind == b.Kind && a.S == b.S;
    if (a.Kind == TValue::Int && b.Kind == TValue::Int) return a.I == b.I;
    const double x = a.Number(), y = b.Number();
    return std::fabs(x - y) <= 1e-9 * std::max({1.0, std::fabs(x), std::fabs(y)});
}

std::string SortKey(const TValue& v) {
    if (v.Kind == TValue::Null) return "0";
    if (v.Kind == TValue::Text) return "2" + v.S;
    char b[48];
    std::snprintf(b, sizeof b, "1%.9g", v.Number() == 0 ? 0.0 : v.Number());
    return b;
}

using TRow = std::vector<TValue>;
using TRows = std::vector<TRow>;

struct TColumn {
    std::string Name;
    TType Type;
    int Width = 0;  // CHAR columns
    int Kind = 0;   // INTEGER columns stored as 0 INTEGER, 1 SMALLINT, 2 WORD
    bool NotNull = false;
    std::string Default, Min, Max;  // the values as texts (numbers for MIN and MAX), "" for none
    int Case = 0;                   // CHAR columns store texts 0 as written, 1 in upper, 2 in lower case
};

std::string Cased(int charCase, std::string s) {
    if (charCase) std::transform(s.begin(), s.end(), s.begin(), charCase == 1 ? ::toupper : ::tolower);
    return s;
}
// SQLite's form of a text as a column stores it.
std::string LiteCased(const TColumn& c, const std::string& v) {
    return c.Case == 1 ? "upper(" + v + ")" : c.Case == 2 ? "lower(" + v + ")" : v;
}

TColumn NewColumn(std::string name, TType type, int width, int kind) {
    TColumn c;
    c.Name = std::move(name);
    c.Type = type;
    c.Width = width;
    c.Kind = kind;
    return c;
}

// A text's value as a column of the type stores it.
TValue ValueOf(TType type, const std::string& text) {
    if (text.empty()) return {};
    if (type == TType::Str) return TextValue(text);
    return type == TType::Int ? IntValue(std::stoi(text)) : RealValue(std::stod(text));
}

// The values an INTEGER column of the kind holds.
const std::pair<int, int> KindRange[] = {{INT32_MIN, INT32_MAX}, {-32768, 32767}, {0, 65535}};

struct TIndex {  // a secondary index of one column
    int Column = 0;
    std::string Options;  // the words before INDEX: DESC, NOCASE
    std::string Name;
};

struct TTable {
    std::string Name;
    std::vector<TColumn> Columns;
    std::vector<TIndex> Indexes;
    int Unique = -1;       // a column of a unique index (NULL is a key like any other)
    bool Primary = false;  // that index is the primary key
    bool Memory = false;   // in the in-memory database: MEMORY before its name
    TRows Rows;
};
using TTables = std::vector<TTable>;

const TTable& Find(const TTables& tables, const std::string& name) {
    for (const TTable& t : tables)
        if (t.Name == name) return t;
    return tables.front();
}

// A table's name in our statements.
std::string OurName(const TTable& t) {
    return (t.Memory ? "MEMORY " : "") + t.Name;
}

// clang-format off
enum class TOp : uint8_t {
    Column, Const, Param, Neg, Add, Sub, Mul, Div, Concat, Upper, Lower,
    Abs, Round, Substring, TrimLeading, TrimTrailing, TrimBoth, Replace, Pos, Occurs, If, Cast,
    Year, Month, Day, DayOfWeek, Days, Truth, Hour, Minute, Second, AsStamp, StampDiff,
    Eq, Ne, Lt, Gt, Le, Ge, And, Or, Not, IsNull, IsNotNull, Between, InList, Like, InSelect,
    CountStar, Count, Sum, Min, Max, Avg
};
// clang-format on

bool IsAggregate(TOp op) {
    return op >= TOp::CountStar;
}

struct TSelect;

struct TExpr {
    TOp Op = TOp::Const;
    TType Type = TType::Int;
    bool Negated = false;  // NOT BETWEEN, NOT IN, NOT LIKE
    std::vector<TExpr> Args;
    TValue Value;                        // Const, Param
    std::string Table, Column;           // Column: correlation ("" unqualified) and name
    std::shared_ptr<const TSelect> Sub;  // InSelect: copied on change, never changed in place
};

enum class TJoin : uint8_t { First, Comma, Inner, Left, Right };

struct TFrom {
    std::string Table, Alias;
    TJoin Join = TJoin::First;
    std::vector<TExpr> On;  // ANDed
};

struct TOrder {
    int Item;  // from 0
    bool Desc = false, ByName = false;
    bool operator==(const TOrder&) const = default;
};

struct TSelect {
    bool Distinct = false, Star = false, GroupByName = false;
    bool NoCase = false;  // ORDER BY ... NOCASE: texts in order without regard to case
    std::vector<TExpr> Items;
    std::vector<TFrom> From;
    std::optional<TExpr> Where, Having;
    std::vector<int> GroupBy;  // item numbers from 0
    std::vector<TOrder> OrderBy;
    int MaxRows = -1;
    // SELECT ... INTO: the rows go to a new table, of the in-memory database or not.
    bool Into = false, IntoMemory = false;
};

// The table SELECT ... INTO writes; it is read and dropped after the statement.
constexpr const char* IntoTable = "r1";

// Data statements, definition statements, transactions.
enum class TKind : uint8_t {
    Select,
    Insert,
    Update,
    Delete,
    CreateIndex,
    DropIndex,
    Alter,
    Begin,
    Commit,
    Rollback
};

// One change of ALTER TABLE.
struct TAlteration {
    enum TWhat : uint8_t { Add, Redefine, Drop, AddPrimary, DropPrimary } What = Add;
    std::string Name;  // the column as it was named (Redefine, Drop, AddPrimary)
    TColumn Column;    // Add: the new column; Redefine: its name and type afterwards
    bool NewName = false, NewType = false;
    bool NewRules = false;  // Redefine: NOT NULL, DEFAULT, MIN and MAX given as Column has them
    int At = 0;             // Add, Redefine: the position it takes, from 1 (0: none written)
};

struct TStatement {
    TKind Kind = TKind::Select;
    TSelect Query;  // SELECT; INSERT ... SELECT
    std::string Target;
    bool ColumnList = false;    // INSERT names its columns
    std::vector<int> Columns;   // INSERT columns (all when no list), UPDATE SET columns
    std::vector<TExpr> Values;  // INSERT VALUES, SET values
    std::optional<TExpr> Where;
    TIndex Index;                          // CREATE INDEX, DROP INDEX
    std::vector<TAlteration> Alterations;  // ALTER TABLE
    bool NoBackup = false;
    std::vector<int> From;  // ALTER TABLE: each column's position before it (-1: added)
    // The tables' definitions (no rows) the statement is written for, and after it.
    std::shared_ptr<const TTables> Schema, After;
};

TExpr Node(TOp op, TType type, std::vector<TExpr> args = {}) {
    TExpr e;
    e.Op = op;
    e.Type = type;
    e.Args = std::move(args);
    return e;
}

TExpr Constant(TType type, TValue v, TOp op = TOp::Const) {
    TExpr e = Node(op, type);
    e.Value = std::move(v);
    return e;
}

bool Has(const TExpr& e, const std::function<bool(const TExpr&)>& pred) {
    if (pred(e)) return true;
    for (const TExpr& a : e.Args)
        if (Has(a, pred)) return true;
    return false;
}
bool HasColumn(const TExpr& e) {
    return Has(e, [](const TExpr& x) { return x.Op == TOp::Column; });
}

// ---- Generator ---------------------------------------------------------------------------

// The tables an expression may name: each with the name that qualifies its columns
// ("" unqualified).
// Type changes of a column with no conversion: its values go.
bool Unconverted(TType from, TType to) {
    return (from == TType::Bool && to == TType::Real) || (from == TType::Date && to == TType::Int) ||
           (from == TType::Time && to == TType::Int) || (from == TType::Int && to == TType::Date);
}
// Type changes that both sides make alike: integers and reals both ways (cut toward zero), an
// integer to its decimal text, texts to another width, decimals to reals and integers,
// booleans to integers, a timestamp to its date or its time, a date to its midnight, and
// those without a conversion.
bool Modelled(TType from, TType to) {
    static const std::set<std::pair<TType, TType>> alike = {
        {TType::Int, TType::Real},   {TType::Int, TType::Str},    {TType::Real, TType::Int},
        {TType::Dec, TType::Real},   {TType::Dec, TType::Int},    {TType::Bool, TType::Int},
        {TType::Stamp, TType::Date}, {TType::Stamp, TType::Time}, {TType::Date, TType::Stamp}};
    return from == to || alike.contains({from, to}) || Unconverted(from, to);
}

struct TSource {
    const TTable* Table;
    std::string Name;
};

struct TScope {
    std::vector<TSource> Sources;
    bool Params = true;
    bool Written = false;  // values for columns: no products, so that values stay far from
                           // the 32 bits of integer arithmetic over many updates
    bool SubSelects = false;
    bool Mixed = false;  // an operand may name two tables (select items)
    // A text operand may be a memo column: in conditions, and in the last item of a result
    // that is neither DISTINCT nor grouped and not ordered by it, as a memo's value is a
    // BLOB, which DISTINCT, GROUP BY and ORDER BY refuse in a result.
    bool Memos = false;
    std::vector<std::pair<int, int>> Edges;  // tables a comparison may join
};

class TGenerator {
public:
    explicit TGenerator(uint64_t seed) : G(seed) {}

    TTables Tables() {
        TTables out;
        const int big = Chance(10) ? Int(1, 3) : 0;  // one table of many rows: pages of their own
        for (int t = 1; t <= 3; ++t) {
            TTable table;
            table.Name = "t" + std::to_string(t);
            int n[9] = {};
            std::vector<TType> types{TType::Int, TType::Real, TType::Str, TType::Date, TType::Dec};
            if (Chance(40)) types.push_back(TType::Bool);
            if (Chance(40)) types.push_back(TType::Time);
            if (Chance(25)) types.push_back(TType::Memo);
            if (Chance(30)) types.push_back(TType::Stamp);
            for (int extra = Int(0, 2); extra > 0; --extra) types.push_back(TType(Int(0, 2)));
            std::shuffle(types.begin(), types.end(), G);
            for (TType type : types) {
                const char prefix = TypeLetters[int(type)];
                const int no = ++n[int(type)];
                table.Columns.push_back(
                    NewColumn(prefix + std::to_string(no), type, Int(4, 8), no > 1 ? IntKind(type) : 0));
            }
            for (TColumn& c : table.Columns) Rules(c);
            for (size_t c = 0; c < table.Columns.size(); ++c)
                if (table.Columns[c].Type != TType::Memo && Chance(35))
                    table.Indexes.push_back(NewIndex(table, int(c)));
            table.Memory = Chance(15);
            if (Chance(25)) {
                table.Unique = int(Int(0, int(table.Columns.size()) - 1));
                if (!Keyed(table.Columns[size_t(table.Unique)])) table.Unique = -1;
                table.Primary = Chance(50);
            }
            std::set<std::string> keys;
            for (int r = t == big ? Int(60, 200) : Int(0, 12); r > 0; --r) {
                TRow row;
                for (const TColumn& c : table.Columns) {
                    // Memos of one to three blocks here, where statements write short ones.
                    row.push_back(c.Type == TType::Memo && Chance(70) ? TextValue(RandomText(1, 1500, "abB"))
                                                                      : RandomValue(c.Type, !c.NotNull));
                    if (c.Kind == 2 && row.back().I < 0) row.back().I = -row.back().I;
                    if (row.back().Kind == TValue::Text) row.back().S = Cased(c.Case, row.back().S);
                    // Within the column's limits.
                    TValue& v = row.back();
                    if (!c.Min.empty() && v.Kind != TValue::Null && v.Number() < std::stod(c.Min))
                        v = ValueOf(c.Type, c.Min);
                    if (!c.Max.empty() && v.Kind != TValue::Null && v.Number() > std::stod(c.Max))
                        v = ValueOf(c.Type, c.Max);
                }
                if (table.Unique < 0 || keys.insert(SortKey(row[size_t(table.Unique)])).second)
                    table.Rows.push_back(row);
            }
            Bound[table.Name] = int(table.Rows.size());
            out.push_back(table);
        }
        auto schema = std::make_shared<TTables>(out);
        for (TTable& t : *schema) t.Rows.clear();
        Current = schema;
        return out;
    }

    // The next statement over the tables as the statements so far left them.
    TStatement Statement() {
        TStatement s = Next(*Current);
        s.Schema = Current;
        if (s.After) Current = s.After;
        return s;
    }

private:
    TStatement Next(const TTables& tables) {
        T = &tables;
        TStatement s;
        // A transaction starts, or the open one ends (not over a table of the in-memory
        // database, which has transactions of its own).
        if (Chance(6) &&
            std::none_of(tables.begin(), tables.end(), [](const TTable& t) { return t.Memory; })) {
            s.Kind = !InTransaction ? TKind::Begin : Chance(50) ? TKind::Commit : TKind::Rollback;
            InTransaction = !InTransaction;
            return s;
        }
        // Definitions change outside transactions (SQLite's would be taken back with them).
        if (!InTransaction && Chance(3)) return Definition(tables[size_t(Int(0, 2))]);
        const int r = Int(0, 99);
        if (r < 55) {
            s.Query = Select(nullptr);
            s.Query.Into = !InTransaction && Chance(6);
            s.Query.IntoMemory = s.Query.Into && Chance(30);
            return s;
        }
        const TTable& target = tables[size_t(Int(0, 2))];
        s.Target = target.Name;
        TScope scope;
        scope.Sources = {{&target, ""}};
        scope.SubSelects = true;
        const int columns = int(target.Columns.size());
        if (r < 72) {
            s.Kind = TKind::Insert;
            s.ColumnList = Chance(50);
            for (int c = 0; c < columns; ++c) s.Columns.push_back(c);
            if (s.ColumnList) {
                std::shuffle(s.Columns.begin(), s.Columns.end(), G);
                s.Columns.resize(size_t(Int(1, columns)));
            }
            std::vector<TType> shape;
            for (int c : s.Columns) shape.push_back(target.Columns[size_t(c)].Type);
            if (Chance(25) && std::count(shape.begin(), shape.end(), TType::Bool) == 0 &&
                std::count(shape.begin(), shape.end(), TType::Time) == 0 &&
                std::count(shape.begin(), shape.end(), TType::Stamp) == 0 &&
                std::count(shape.begin(), shape.end(), TType::Memo) == 0) {
                s.Query = Select(&shape);
                // Tables stay small enough for joins of three: at most as many rows as the
                // statements could have put there.
                int added = 1;
                for (const TFrom& f : s.Query.From) added *= Bound[f.Table];
                if (Bound[target.Name] + added <= 40) {
                    Bound[target.Name] += added;
                    return s;
                }
                s.Query = {};
            }
            ++Bound[target.Name];
            for (int c : s.Columns) s.Values.push_back(InsertValue(target, target.Columns[size_t(c)]));
        } else if (r < 90) {
            s.Kind = TKind::Update;
            // Not the unique column: a duplicate met on the way would depend on the order in
            // which each engine visits the rows.
            for (int c = 0; c < columns; ++c)
                if (c != target.Unique) s.Columns.push_back(c);
            std::shuffle(s.Columns.begin(), s.Columns.end(), G);
            s.Columns.resize(size_t(Int(1, std::min(3, int(s.Columns.size())))));
            for (int c : s.Columns) s.Values.push_back(SetValue(scope, target.Columns[size_t(c)]));
            if (Chance(75)) s.Where = Condition(WithMemos(scope), 2, false);
        } else {
            s.Kind = TKind::Delete;
            if (Chance(85)) s.Where = Condition(WithMemos(scope), 2, false);
        }
        return s;
    }

    // CREATE INDEX, DROP INDEX or ALTER TABLE.
    TStatement Definition(const TTable& target) {
        TStatement s;
        s.Target = target.Name;
        auto after = std::make_shared<TTables>(*T);
        TTable& t =
            *std::find_if(after->begin(), after->end(), [&](const TTable& x) { return x.Name == s.Target; });
        const int r = Int(0, 99);
        if (r < 25) {
            s.Kind = TKind::CreateIndex;
            std::vector<int> keys;
            for (int c = 0; c < int(t.Columns.size()); ++c)
                if (t.Columns[size_t(c)].Type != TType::Memo) keys.push_back(c);
            s.Index = NewIndex(t, Pick(keys));
            t.Indexes.push_back(s.Index);
        } else if (r < 40 && !t.Indexes.empty()) {
            s.Kind = TKind::DropIndex;
            const auto i = t.Indexes.begin() + Int(0, int(t.Indexes.size()) - 1);
            s.Index = *i;
            t.Indexes.erase(i);
        } else {
            s.Kind = TKind::Alter;
            s.NoBackup = Chance(50);
            s.From.resize(t.Columns.size());
            for (size_t c = 0; c < s.From.size(); ++c) s.From[c] = int(c);
            // A primary key changes alone: the statement's column changes come first whatever
            // their order, and it has one primary key clause.
            const bool primary = Chance(15) && (t.Unique < 0 || t.Primary);
            for (int n = primary ? 1 : Int(1, 3); n > 0; --n) Alter(t, s, primary);
        }
        s.After = after;
        return s;
    }

    // One change of ALTER TABLE, applied to t; the indexes and the unique column follow their
    // columns.
    void Alter(TTable& t, TStatement& s, bool primary) {
        const int n = int(t.Columns.size());
        std::vector<int> ids(static_cast<size_t>(n));  // each column's position before this change
        for (int c = 0; c < n; ++c) ids[size_t(c)] = c;
        auto indexed = [&](int c) {
            return std::any_of(t.Indexes.begin(), t.Indexes.end(),
                               [&](const TIndex& i) { return i.Column == c; });
        };
        // The statements need a column of each type but BOOLEAN, TIME, memo and TIMESTAMP in
        // every table, and an INTEGER one stored in 32 bits.
        auto spare = [&](int c) {
            const TColumn& col = t.Columns[size_t(c)];
            return col.Type == TType::Bool || col.Type == TType::Time || col.Type == TType::Memo ||
                   col.Type == TType::Stamp || col.Kind != 0 ||
                   std::count_if(t.Columns.begin(), t.Columns.end(),
                                 [&](const TColumn& x) { return x.Type == col.Type && x.Kind == 0; }) > 1;
        };
        auto move = [&](int from, int to) {
            auto shift = [&](auto& v) {
                auto x = v[size_t(from)];
                v.erase(v.begin() + from);
                v.insert(v.begin() + to, x);
            };
            shift(t.Columns), shift(s.From), shift(ids);
        };
        TAlteration a;
        const int r = Int(0, 99);
        std::vector<int> droppable;
        for (int c = 0; c < n; ++c)
            if (spare(c) && !indexed(c) && (c != t.Unique || t.Primary)) droppable.push_back(c);
        if (primary && t.Unique < 0) {
            // Both refuse it over duplicate values, and the run of the tables ends there.
            a.What = TAlteration::AddPrimary;
            std::vector<int> keys;
            for (int c = 0; c < n; ++c)
                if (Keyed(t.Columns[size_t(c)])) keys.push_back(c);
            t.Unique = Pick(keys);
            t.Primary = true;
            a.Name = t.Columns[size_t(t.Unique)].Name;
        } else if (primary) {
            a.What = TAlteration::DropPrimary;
            t.Unique = -1;
            t.Primary = false;
        } else if (r < 20 && !droppable.empty()) {
            // A primary key's column takes the primary key with it.
            a.What = TAlteration::Drop;
            const int c = Pick(droppable);
            a.Name = t.Columns[size_t(c)].Name;
            t.Columns.erase(t.Columns.begin() + c), s.From.erase(s.From.begin() + c),
                ids.erase(ids.begin() + c);
            if (c == t.Unique) t.Unique = -1, t.Primary = false;
        } else if (r < 60) {
            a.What = TAlteration::Redefine;
            const int c = Int(0, n - 1);
            TColumn& col = t.Columns[size_t(c)];
            a.Name = col.Name;
            a.Column = col;
            // A new type, when the change from the type the column had before the statement
            // (the one change the table sees) is one that SQLite's side models.
            const bool rules = !col.Default.empty() || !col.Min.empty() || !col.Max.empty();
            if (Chance(40) && c != t.Unique && (col.Type == TType::Str || (spare(c) && !rules))) {
                static const std::map<TType, std::vector<TType>> types = {
                    {TType::Int, {TType::Real, TType::Str, TType::Date, TType::Int}},
                    {TType::Real, {TType::Int}},
                    {TType::Str, {TType::Str}},
                    {TType::Dec, {TType::Real, TType::Int}},
                    {TType::Bool, {TType::Int, TType::Real}},
                    {TType::Date, {TType::Int, TType::Stamp}},
                    {TType::Time, {TType::Int}},
                    {TType::Memo, {TType::Memo}},
                    {TType::Stamp, {TType::Date, TType::Time, TType::Stamp}}};
                const TType to = Pick(types.at(col.Type));
                const int from = s.From[size_t(c)];
                if (Modelled(from < 0 ? to : Find(*T, t.Name).Columns[size_t(from)].Type, to)) {
                    a.NewType = true;
                    a.Column.Type = to;
                    a.Column.Width = Int(1, 8);
                    a.Column.Kind = IntKind(to);
                }
            }
            if (Chance(50) || (!a.NewType && Chance(50))) {
                a.NewName = true;
                a.Column.Name = FreshName(a.Column.Type);
            }
            if (!a.NewType && Chance(25)) {
                // NOT NULL is set and never taken away; DEFAULT, MIN and MAX are written, an
                // empty one taking the rule away.
                a.NewRules = true;
                const bool notNull = a.Column.NotNull;
                Rules(a.Column, 50);
                a.Column.NotNull = a.Column.NotNull || notNull;
            }
            col = a.Column;
            if (Chance(35) || (!a.NewType && !a.NewName)) {
                a.At = Int(1, n);
                move(c, a.At - 1);
            }
        } else {
            a.What = TAlteration::Add;
            const TType type = TType(Int(0, 8));
            a.Column = NewColumn(FreshName(type), type, Int(1, 8), IntKind(type));
            Rules(a.Column, 10);
            a.At = Chance(50) ? Int(1, n) : 0;
            const int at = a.At ? a.At - 1 : n;
            t.Columns.insert(t.Columns.begin() + at, a.Column);
            s.From.insert(s.From.begin() + at, -1);
            ids.insert(ids.begin() + at, -1);
        }
        auto place = [&](int old) { return int(std::find(ids.begin(), ids.end(), old) - ids.begin()); };
        for (TIndex& i : t.Indexes) i.Column = place(i.Column);
        if (t.Unique >= 0 && a.What != TAlteration::AddPrimary) t.Unique = place(t.Unique);
        s.Alterations.push_back(a);
    }

    // Now and then a DEFAULT, NOT NULL, and for numbers a MIN and a MAX.
    void Rules(TColumn& c, int percent = 5) {
        const bool number = (c.Type == TType::Int && c.Kind == 0) || c.Type == TType::Real;
        c.Min = number && Chance(percent) ? Pick(std::vector<std::string>{"-2", "0"}) : "";
        c.Max = number && Chance(percent) ? Pick(std::vector<std::string>{"5", "20"}) : "";
        const int low = c.Min.empty() ? -2 : std::stoi(c.Min), high = c.Max.empty() ? 8 : std::stoi(c.Max);
        c.Default = (number || c.Type == TType::Str) && Chance(2 * percent)
                        ? (number ? std::to_string(Int(low, high)) : RandomText(1, 1, "abB"))
                        : "";
        // With a default, so that a row written without the column takes it.
        c.NotNull = !c.Default.empty() && Chance(40);
        c.Case = c.Type == TType::Str && Chance(2 * percent) ? Int(1, 2) : 0;
    }

    // How an INTEGER column stores its values; now and then in 16 bits, signed or not. Those
    // are written and read, but not named in expressions: this dialect's types keep them
    // apart from INTEGER (IF takes one type, WORD arithmetic stays WORD).
    int IntKind(TType type) { return type != TType::Int ? 0 : Chance(15) ? 1 : Chance(8) ? 2 : 0; }

    // A secondary index on the column, now and then descending or case-insensitive.
    // A unique key may be any column but a BOOLEAN or a memo.
    static bool Keyed(const TColumn& c) { return c.Type != TType::Bool && c.Type != TType::Memo; }

    TIndex NewIndex(const TTable& t, int column) {
        TIndex i{column, Chance(30) ? "DESC " : "", t.Name + "i" + std::to_string(++Names)};
        if (t.Columns[size_t(column)].Type == TType::Str && Chance(30)) i.Options += "NOCASE ";
        return i;
    }
    std::string FreshName(TType type) {
        return std::string(1, TypeLetters[int(type)]) + std::to_string(++Names + 10);
    }

    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(G); }
    bool Chance(int percent) { return Int(0, 99) < percent; }
    template <class T>
    const T& Pick(const std::vector<T>& v) {
        return v[size_t(Int(0, int(v.size()) - 1))];
    }

    std::string RandomText(int lo, int hi, const char* alphabet = "abAB") {
        std::string s(size_t(Int(lo, hi)), ' ');
        for (char& c : s) c = alphabet[Int(0, int(std::strlen(alphabet)) - 1)];
        return s;
    }

    TValue RandomValue(TType type, bool nulls) {
        if (nulls && Chance(15)) return {};
        if (type == TType::Int) return IntValue(Int(-2, 8));
        if (type == TType::Bool) return IntValue(Int(0, 1));
        if (type == TType::Time) return TextValue(TimeText(Int(10800, 75599) * 1000));  // 03:00 to 20:59
        if (type == TType::Memo) return TextValue(RandomText(1, 200, "abB"));
        if (type == TType::Dec) return RealValue(Int(-8, 12) * 0.25);
        if (type == TType::Date) return TextValue(DateText(DayNumber("2023-12-20") + Int(0, 90)));
        if (type == TType::Stamp)  // now and then at midnight, where it equals its date
            return TextValue(DateText(DayNumber("2023-12-20") + Int(0, 90)) + " " +
                             TimeText(Chance(20) ? 0 : Int(0, 86399) * 1000));
        return type == TType::Real ? RealValue(Int(-4, 10) * 0.5) : TextValue(RandomText(1, 2, "abB"));
    }

    TExpr Col(const TSource& s, int c) {
        TExpr e = Node(TOp::Column, s.Table->Columns[size_t(c)].Type);
        e.Table = s.Name;
        e.Column = s.Table->Columns[size_t(c)].Name;
        return e;
    }
    TExpr ColOf(const TSource& s, TType type, bool memos = false) {
        std::vector<int> fit;
        for (size_t c = 0; c < s.Table->Columns.size(); ++c) {
            const TColumn& col = s.Table->Columns[c];
            if ((col.Type == type && col.Kind == 0) ||
                (memos && type == TType::Str && col.Type == TType::Memo))
                fit.push_back(int(c));
        }
        TExpr e = Col(s, Pick(fit));
        e.Type = type;  // a memo stands for a text
        return e;
    }

    static TScope WithMemos(TScope sc) {
        sc.Memos = true;
        return sc;
    }

    TType AnyType() { return Chance(15) ? TType::Date : Chance(12) ? TType::Dec : TType(Int(0, 2)); }
    TType Numeric() { return Chance(50) ? TType::Int : TType::Real; }
    // The type of a value written to a column of the type: a number now and then of the other.
    TType WrittenType(TType column) {
        return (column == TType::Int || column == TType::Real) && Chance(20) ? Numeric() : column;
    }
    // NULL, or for a text the empty text that stands for it.
    TExpr NullConstant(TType type) {
        return Constant(type, type == TType::Str && Chance(50) ? TextValue("") : TValue{});
    }
    TExpr Negatable(TExpr e) {
        e.Negated = Chance(30);
        return e;
    }

    // A value of the type over one source's columns (src -1: constants only).
    TExpr Value(const TScope& sc, TType type, int src, int depth) {
        if (depth <= 0 || Chance(50)) {
            if (src >= 0 && Chance(70)) return ColOf(sc.Sources[size_t(src)], type, sc.Memos);
            return Constant(type, RandomValue(type, false));
        }
        auto sub = [&](TType t) { return Value(sc, t, src, depth - 1); };
        if (type == TType::Stamp) {
            // Days added to or taken from a timestamp of the row.
            if (src < 0) return Constant(type, RandomValue(type, false));
            return Node(Chance(50) ? TOp::Add : TOp::Sub, type,
                        {ColOf(sc.Sources[size_t(src)], type), Constant(TType::Int, IntValue(Int(-3, 40)))});
        }
        if (type == TType::Date) {
            // Days added to or taken from a date of the row (a date constant alone is a text
            // until it meets a date).
            if (src < 0) return Constant(type, RandomValue(type, false));
            if (Chance(30)) return Function(sc, type, src, depth);
            return Node(Chance(50) ? TOp::Add : TOp::Sub, type,
                        {Of(sc, TType::Date, src, depth - 1), Constant(TType::Int, IntValue(Int(-3, 40)))});
        }
        if (type == TType::Dec && src < 0) return Constant(type, RandomValue(type, false));
        if (Chance(30)) return Function(sc, type, src, depth);
        if (type == TType::Dec) {
            // Sums and differences with decimals or integers; products and quotients (by a
            // constant that is not 0) rounded to the two places. A constant with a point is a
            // float here, so the decimal operands are of the row.
            auto dec = [&] { return Of(sc, TType::Dec, src, depth - 1); };
            const int k = Int(0, sc.Written ? 2 : 4);
            if (k == 0) return Node(TOp::Neg, type, {dec()});
            if (k == 3) return Node(TOp::Mul, type, {dec(), Chance(50) ? dec() : sub(TType::Int)});
            if (k == 4) return Node(TOp::Div, type, {dec(), Constant(TType::Int, IntValue(Int(1, 8)))});
            std::vector<TExpr> args{dec(), Chance(50) ? dec() : sub(TType::Int)};
            if (k == 1 && Chance(50)) std::swap(args[0], args[1]);
            return Node(k == 1 ? TOp::Add : TOp::Sub, type, std::move(args));
        }
        switch (type) {
            case TType::Int: {
                const int k = Int(0, sc.Written ? 2 : 3);
                if (k == 0) return Node(TOp::Neg, type, {sub(type)});
                return Node(k == 1 ? TOp::Add : k == 2 ? TOp::Sub : TOp::Mul, type, {sub(type), sub(type)});
            }
            case TType::Real: {
                int k = Int(0, 4);
                if (sc.Written && k == 3) k = 4;  // a quotient instead of a product
                if (k == 0) return Node(TOp::Neg, type, {sub(type)});
                if (k == 4) return Node(TOp::Div, type, {sub(Numeric()), sub(Numeric())});
                std::vector<TExpr> args{sub(TType::Real), sub(Numeric())};
                if (Chance(50)) std::swap(args[0], args[1]);
                return Node(k == 1 ? TOp::Add : k == 2 ? TOp::Sub : TOp::Mul, type, std::move(args));
            }
            default: {
                const int k = Int(0, 3);
                if (k == 0) return Node(TOp::Upper, type, {sub(type)});
                if (k == 1) return Node(TOp::Lower, type, {sub(type)});
                return Node(TOp::Concat, type, {sub(type), sub(type)});
            }
        }
    }
    // A value of the row of a type that constants do not have (a date, a decimal): a column
    // or an expression over one.
    TExpr Of(const TScope& sc, TType type, int src, int depth) {
        TExpr column = ColOf(sc.Sources[size_t(src)], type, sc.Memos);
        if (depth <= 0 || Chance(60)) return column;
        TExpr e = Value(sc, type, src, depth);
        return e.Op == TOp::Const ? column : e;
    }

    // IF over a condition of the row (no sub-selects and no markers inside); branches of a
    // type that constants do not have are of the row as well.
    TExpr If(const TScope& sc, TType type, int src, int depth) {
        TScope inner = sc;
        inner.SubSelects = false;
        inner.Params = false;
        const bool ofRow = type == TType::Date || type == TType::Dec;
        // Both values of one type: a memo is not a text there.
        TScope values = sc;
        values.Memos = false;
        auto branch = [&] {
            return ofRow ? Of(values, type, src, depth - 1) : Value(values, type, src, depth - 1);
        };
        return Node(TOp::If, type, {IfCondition(inner, src, depth - 1), branch(), branch()});
    }

    // A function of the expression language; its constant arguments are constants of the
    // kinds the language takes there (positions from 1, single trim characters).
    TExpr Function(const TScope& sc, TType type, int src, int depth) {
        auto sub = [&](TType t) { return Value(sc, t, src, depth - 1); };
        auto text = [&](int lo, int hi) { return Constant(TType::Str, TextValue(RandomText(lo, hi))); };
        const int k = Int(src < 0 ? 1 : 0, 4);
        if (type == TType::Dec)
            return k == 0 ? If(sc, type, src, depth) : Node(TOp::Abs, type, {Of(sc, type, src, depth - 1)});
        if (type == TType::Date) return If(sc, type, src, depth);
        if (type == TType::Int && src >= 0 && Chance(30)) {
            // A part of a date, or the days between two.
            // Not the year: this dialect's integers are 32 bits wide, and a product of a few
            // years, written into a column and read back, leaves them.
            static const TOp parts[] = {TOp::Month, TOp::Day, TOp::DayOfWeek, TOp::Days};
            const TOp op = parts[Int(0, 3)];
            if (op == TOp::Days)
                return Node(op, type,
                            {Of(sc, TType::Date, src, depth - 1), Of(sc, TType::Date, src, depth - 1)});
            return Node(op, type, {Of(sc, TType::Date, src, depth - 1)});
        }
        if (k == 4) {
            // CAST between the number types, and of an integer to a text of a width.
            TExpr e = Node(TOp::Cast, type,
                           {sub(type == TType::Real  ? TType::Int
                                : type == TType::Int ? TType::Real
                                                     : TType::Int)});
            if (type == TType::Str) e.Args.push_back(Constant(TType::Int, IntValue(Int(1, 6))));
            return e;
        }
        if (k == 0) return If(sc, type, src, depth);
        switch (type) {
            case TType::Int:
                if (k == 1) return Node(TOp::Abs, type, {sub(type)});
                return Node(k == 2 ? TOp::Pos : TOp::Occurs, type, {text(1, 2), sub(TType::Str)});
            case TType::Real:
                if (k == 1) return Node(TOp::Abs, type, {sub(type)});
                return Node(TOp::Round, type,
                            {src >= 0 && Chance(30) ? Of(sc, TType::Dec, src, depth - 1) : sub(type),
                             Constant(TType::Int, IntValue(Int(0, 2)))});
            default: {
                if (k == 1) {
                    TExpr e =
                        Node(TOp::Substring, type, {sub(type), Constant(TType::Int, IntValue(Int(1, 4)))});
                    if (Chance(70)) e.Args.push_back(Constant(TType::Int, IntValue(Int(1, 3))));
                    return e;
                }
                if (k == 2) {
                    const TOp side =
                        Pick(std::vector<TOp>{TOp::TrimLeading, TOp::TrimTrailing, TOp::TrimBoth});
                    return Node(side, type, {sub(type), text(1, 1)});
                }
                return Node(TOp::Replace, type, {text(1, 2), text(0, 3), sub(type)});
            }
        }
    }
    // The condition of an IF: a comparison, a NULL test or a LIKE, now and then two of them.
    TExpr IfCondition(const TScope& sc, int src, int depth) {
        if (depth > 0 && Chance(20))
            return Node(Chance(50) ? TOp::And : TOp::Or, TType::Bool,
                        {IfCondition(sc, src, depth - 1), IfCondition(sc, src, depth - 1)});
        const TType type = AnyType();
        const int k = Int(sc.Written ? 2 : 0, 5);  // values written take no NULL test or LIKE
        if (k == 0)
            return Node(Chance(50) ? TOp::IsNull : TOp::IsNotNull, TType::Bool,
                        {ColOf(sc.Sources[size_t(src)], type, sc.Memos)});
        if (k == 1)
            return Negatable(Node(TOp::Like, TType::Bool,
                                  {ColOf(sc.Sources[size_t(src)], TType::Str, sc.Memos),
                                   Constant(TType::Str, TextValue(RandomText(1, 2, "abAB%_")))}));
        TExpr left = ColumnValue(sc, type, src, std::max(0, depth - 1));
        // Now and then a column of another table: inside a function a comparison of two
        // tables is a value of the row, never a join.
        const int other = Int(0, int(sc.Sources.size()) - 1);
        if (sc.Mixed && other != src && Chance(40))
            return Comparison(left, ColOf(sc.Sources[size_t(other)], type, sc.Memos));
        return Comparison(
            left, Chance(40) ? ColumnValue(sc, type, src, 0) : Constant(type, RandomValue(type, false)));
    }

    // A value or, where the scope takes them, a parameter: markers stand alone as operands,
    // as they have no type until their values are set.
    TExpr Operand(const TScope& sc, TType type, int src, int depth) {
        if (!sc.Params || type == TType::Dec || !Chance(25)) return Value(sc, type, src, depth);
        TValue v = RandomValue(type, true);
        if (type == TType::Str && Chance(10)) v = TextValue("");
        return Constant(type, v, TOp::Param);
    }
    TExpr ColumnValue(const TScope& sc, TType type, int src, int depth) {
        TExpr e = Value(sc, type, src, depth);
        return HasColumn(e) ? e : ColOf(sc.Sources[size_t(src)], type, sc.Memos);
    }

    // A condition. Below an OR or a NOT it is tested per row as a whole; elsewhere a
    // comparison of two tables is a join. A NOT right below a NOT would undo it: the
    // comparison under both is a join again, so that one is not written.
    TExpr Condition(const TScope& sc, int depth, bool whole, bool belowNot = false) {
        if (depth > 0 && Chance(35)) {
            auto sub = [&](bool w, bool b = false) { return Condition(sc, depth - 1, w, b); };
            switch (Int(0, belowNot ? 1 : 2)) {
                case 0:
                    return Node(TOp::And, TType::Bool, {sub(whole), sub(whole)});
                case 1:
                    return Node(TOp::Or, TType::Bool, {sub(true), sub(true)});
                default:
                    return Node(TOp::Not, TType::Bool, {sub(true, true)});
            }
        }
        return Predicate(sc, whole);
    }

    TExpr Comparison(TExpr left, TExpr right) {
        static const TOp ops[] = {TOp::Eq, TOp::Eq, TOp::Ne, TOp::Lt, TOp::Gt, TOp::Le, TOp::Ge};
        TOp op = ops[Int(0, 6)];
        if (right.Op == TOp::Const && right.Value.Kind == TValue::Null)  // NULL stays on the right
            return Node(op == TOp::Ne ? TOp::Ne : TOp::Eq, TType::Bool, {left, right});
        if (Chance(20)) std::swap(left, right);
        return Node(op, TType::Bool, {left, right});
    }

    // Two tables a comparison may name: any two in a whole tested per row, else two the joins
    // link (a comparison of two others would make a table the target of two joins).
    std::optional<std::pair<int, int>> CrossPair(const TScope& sc, bool whole) {
        if (!whole && !sc.Edges.empty()) return Pick(sc.Edges);
        if (whole && sc.Sources.size() > 1) {
            const int a = Int(0, int(sc.Sources.size()) - 1);
            const int b = Int(0, int(sc.Sources.size()) - 2);
            return std::make_pair(a, b >= a ? b + 1 : b);
        }
        return {};
    }

    TExpr Predicate(const TScope& sc, bool whole) {
        const int src = Int(0, int(sc.Sources.size()) - 1);
        if (Chance(3))  // a date's year, compared
            return Comparison(Node(TOp::Year, TType::Int, {ColOf(sc.Sources[size_t(src)], TType::Date)}),
                              Constant(TType::Int, IntValue(Int(2023, 2024))));
        const TTable& table = *sc.Sources[size_t(src)].Table;
        if (Chance(10) && HasType(table, TType::Time)) {
            // A time of the row (now and then seconds added as milliseconds, never past
            // midnight: this dialect's times do not wrap), or one of its parts, against
            // constants.
            TExpr t = ColOf(sc.Sources[size_t(src)], TType::Time);
            if (Chance(40))
                t = Node(TOp::Add, TType::Time, {t, Constant(TType::Int, IntValue(Int(-3600, 3600) * 1000))});
            const int k = Int(0, 2);
            if (k == 0) {
                static const TOp parts[] = {TOp::Hour, TOp::Minute, TOp::Second};
                return Comparison(Node(parts[Int(0, 2)], TType::Int, {t}),
                                  Constant(TType::Int, IntValue(Int(0, 30))));
            }
            if (k == 1)
                return Negatable(Node(TOp::Between, TType::Bool,
                                      {t, Constant(TType::Time, RandomValue(TType::Time, false)),
                                       Constant(TType::Time, RandomValue(TType::Time, false))}));
            return Comparison(t, Constant(TType::Time, RandomValue(TType::Time, false)));
        }
        if (Chance(20) && HasType(table, TType::Stamp)) return StampPredicate(sc, src, whole);
        // A boolean column standing alone, or compared with TRUE or FALSE.
        if (Chance(10) && HasType(table, TType::Bool)) {
            TExpr b = ColOf(sc.Sources[size_t(src)], TType::Bool);
            if (Chance(60)) return Node(TOp::Truth, TType::Bool, {b});
            return Node(Chance(70) ? TOp::Eq : TOp::Ne, TType::Bool,
                        {b, Constant(TType::Bool, IntValue(Int(0, 1)))});
        }
        const TType type = AnyType();
        const int k = Int(0, 11);
        if (k == 6)
            return Node(Chance(50) ? TOp::IsNull : TOp::IsNotNull, TType::Bool,
                        {ColumnValue(sc, type, src, 1)});
        if (k == 7)
            return Negatable(
                Node(TOp::Between, TType::Bool,
                     {ColumnValue(sc, type, src, 1), Operand(sc, type, -1, 0), Operand(sc, type, -1, 0)}));
        if (k == 8) {
            TExpr e = Node(TOp::InList, TType::Bool, {ColumnValue(sc, type, src, 1)});
            for (int n = Int(1, 4); n > 0; --n) e.Args.push_back(Constant(type, RandomValue(type, true)));
            return Negatable(std::move(e));
        }
        if (k == 9) {
            // The pattern is a text constant, neither NULL nor a marker; "%%" is left out, as a
            // text ending before it does not match (one level of backtracking).
            std::string pattern = RandomText(1, 4, "abAB%%_");
            while (pattern.find("%%") != std::string::npos) pattern.erase(pattern.find("%%"), 1);
            return Negatable(
                Node(TOp::Like, TType::Bool,
                     {ColumnValue(sc, TType::Str, src, 1), Constant(TType::Str, TextValue(pattern))}));
        }
        if (k >= 10 && sc.SubSelects) return InSelect(sc, src);
        const auto pair = CrossPair(sc, whole);
        if (pair && Chance(40))
            return Comparison(ColumnValue(sc, type, pair->first, 1), ColumnValue(sc, type, pair->second, 1));
        if (pair && whole && type != TType::Str && type != TType::Date && Chance(10)) {
            // Two tables on one side: only in a whole tested per row.
            TExpr sum = Node(TOp::Add, type,
                             {ColOf(sc.Sources[size_t(pair->first)], type, sc.Memos),
                              ColOf(sc.Sources[size_t(pair->second)], type, sc.Memos)});
            return Comparison(sum, Operand(sc, type, -1, 0));
        }
        TExpr left = ColumnValue(sc, type, src, 1);
        // Integers and reals of one table compare by value; a constant on the right becomes
        // the left's type, which is exact for an integer beside a real.
        if (Chance(15))
            return Comparison(
                left, ColumnValue(sc, type == TType::Int || type == TType::Real ? Numeric() : type, src, 1));
        if (type == TType::Real && Chance(20)) return Comparison(left, Operand(sc, TType::Int, -1, 0));
        if (Chance(12)) return Comparison(left, NullConstant(type));
        return Comparison(left, Operand(sc, type, -1, Chance(20) ? 1 : 0));
    }

    static bool HasType(const TTable& t, TType type) {
        return std::any_of(t.Columns.begin(), t.Columns.end(),
                           [&](const TColumn& c) { return c.Type == type && c.Kind == 0; });
    }

    // A timestamp of the row, now and then days later or earlier, against constants, a date
    // of the row, a part of it, the date or time it falls on, the milliseconds to another
    // timestamp, or a timestamp of the table it is joined to.
    TExpr StampPredicate(const TScope& sc, int src, bool whole) {
        const TSource& s = sc.Sources[size_t(src)];
        TExpr t = ColumnValue(sc, TType::Stamp, src, Chance(30) ? 1 : 0);
        const auto pair = CrossPair(sc, whole);
        const bool pairStamps = pair && HasType(*sc.Sources[size_t(pair->first)].Table, TType::Stamp) &&
                                HasType(*sc.Sources[size_t(pair->second)].Table, TType::Stamp);
        switch (Int(0, 7)) {
            case 0: {
                static const TOp parts[] = {TOp::Year, TOp::Month,  TOp::Day,   TOp::DayOfWeek,
                                            TOp::Hour, TOp::Minute, TOp::Second};
                const TOp op = parts[Int(0, 6)];
                return Comparison(
                    Node(op, TType::Int, {t}),
                    Constant(TType::Int, IntValue(op == TOp::Year ? Int(2023, 2024) : Int(0, 30))));
            }
            case 1:
                return Negatable(Node(TOp::Between, TType::Bool,
                                      {t, Constant(TType::Stamp, RandomValue(TType::Stamp, false)),
                                       Constant(TType::Stamp, RandomValue(TType::Stamp, false))}));
            case 2:
                if (HasType(*s.Table, TType::Date))
                    return Comparison(t, Node(TOp::AsStamp, TType::Stamp, {ColOf(s, TType::Date)}));
                break;
            case 3:
                if (Chance(50))
                    return Comparison(Node(TOp::Cast, TType::Date, {t}),
                                      HasType(*s.Table, TType::Date) && Chance(50)
                                          ? ColOf(s, TType::Date)
                                          : Constant(TType::Date, RandomValue(TType::Date, false)));
                return Comparison(Node(TOp::Cast, TType::Time, {t}),
                                  Constant(TType::Time, RandomValue(TType::Time, false)));
            case 4: {
                // Two tables on one side only in a whole tested per row.
                TExpr other = pairStamps && whole && Chance(50)
                                  ? ColOf(sc.Sources[size_t(pair->first == src ? pair->second : pair->first)],
                                          TType::Stamp)
                              : Chance(50) ? ColOf(s, TType::Stamp)
                                           : Constant(TType::Stamp, RandomValue(TType::Stamp, false));
                return Comparison(Node(TOp::StampDiff, TType::Real, {t, other}),
                                  Constant(TType::Real, RealValue(Chance(50) ? Int(-3, 40) * 86400000.0
                                                                             : Int(-48, 48) * 3600000.0)));
            }
            case 5:
                if (pairStamps)
                    return Comparison(ColOf(sc.Sources[size_t(pair->first)], TType::Stamp),
                                      ColumnValue(sc, TType::Stamp, pair->second, Chance(20) ? 1 : 0));
                break;
            default:
                break;
        }
        return Comparison(t, Chance(15) ? NullConstant(TType::Stamp) : Operand(sc, TType::Stamp, -1, 0));
    }

    // A timestamp of one of the tables as a select item: itself, days off it, a part of it,
    // or its date or time.
    std::optional<TExpr> StampItem(const TScope& sc) {
        std::vector<int> with;
        for (int i = 0; i < int(sc.Sources.size()); ++i)
            if (HasType(*sc.Sources[size_t(i)].Table, TType::Stamp)) with.push_back(i);
        if (with.empty()) return {};
        TExpr t = ColumnValue(sc, TType::Stamp, Pick(with), Int(0, 1));
        switch (Int(0, 4)) {
            case 0:
                return Node(Pick(std::vector<TOp>{TOp::Year, TOp::Month, TOp::Day, TOp::Hour, TOp::Minute}),
                            TType::Int, {t});
            case 1:
                return Node(TOp::Cast, Chance(50) ? TType::Date : TType::Time, {t});
            default:
                return t;
        }
    }

    TExpr InSelect(const TScope& sc, int src) {
        const TTable& u = Pick(*T);
        TScope inner;
        inner.Sources = {{&u, ""}};
        inner.Params = sc.Params;
        auto sub = std::make_shared<TSelect>();
        sub->From = {{u.Name, "", TJoin::First, {}}};
        const TType type = AnyType();
        TScope items = inner;
        items.Params = false;
        sub->Items = {ColumnValue(items, type, 0, Chance(70) ? 0 : 1)};
        sub->Distinct = Chance(20);
        if (Chance(20)) {
            // One aggregate row (NULL, or 0 for COUNT and AVG, when no row qualifies).
            const std::vector<TOp> ops =
                type == TType::Int    ? std::vector{TOp::CountStar, TOp::Count, TOp::Sum, TOp::Min, TOp::Max}
                : type == TType::Real ? std::vector{TOp::Sum, TOp::Min, TOp::Max, TOp::Avg}
                : type == TType::Dec  ? std::vector{TOp::Sum, TOp::Min, TOp::Max}
                                      : std::vector{TOp::Min, TOp::Max};
            const TOp op = Pick(ops);
            const TType argType = op == TOp::Count ? AnyType() : op == TOp::Avg ? Numeric() : type;
            sub->Items = {op == TOp::CountStar ? Node(op, type)
                                               : Node(op, type, {ColumnValue(items, argType, 0, 0)})};
            sub->Distinct = false;
        }
        if (Chance(60)) sub->Where = Condition(WithMemos(inner), 1, false);
        TExpr e = Node(TOp::InSelect, TType::Bool, {ColumnValue(sc, type, src, 1)});
        e.Sub = sub;
        return Negatable(std::move(e));
    }

    TExpr Aggregate(const TScope& sc, int src, std::optional<TType> type = {}) {
        std::vector<TOp> ops{TOp::CountStar, TOp::Count, TOp::Sum, TOp::Min, TOp::Max, TOp::Avg};
        if (type == TType::Real) ops = {TOp::Sum, TOp::Min, TOp::Max, TOp::Avg};
        if (type == TType::Int) ops = {TOp::CountStar, TOp::Count, TOp::Sum, TOp::Min, TOp::Max};
        if (type == TType::Dec) ops = {TOp::Sum, TOp::Min, TOp::Max};
        const TOp op = Pick(ops);
        if (op == TOp::CountStar) return Node(op, TType::Int);
        if (!type && (op == TOp::Min || op == TOp::Max) && Chance(20))
            type = HasType(*sc.Sources[size_t(src)].Table, TType::Stamp) && Chance(40) ? TType::Stamp
                                                                                       : TType::Date;
        if (!type && op != TOp::Count && Chance(15)) type = TType::Dec;
        const TType argType = op == TOp::Count ? AnyType()
                              : op == TOp::Avg ? Numeric()
                                               : type.value_or(Numeric());
        TExpr arg = ColumnValue(sc, argType, src, Chance(70) ? 0 : 1);
        return Node(op, op == TOp::Count ? TType::Int : op == TOp::Avg ? TType::Real : argType, {arg});
    }

    // A FROM list and the scope its tables give; join comparisons of comma tables go to where.
    TScope From(TSelect& s, std::vector<TExpr>& where, int tables, bool joins) {
        TScope sc;
        sc.SubSelects = true;
        for (int i = 0, rows = 1; i < tables; ++i) {
            const TTable* t = &Pick(*T);
            for (int k = 0; k < 5 && rows * Bound[t->Name] > 5000; ++k) t = &Pick(*T);  // joins stay quick
            rows *= std::max(1, Bound[t->Name]);
            TFrom f{t->Name, tables > 1 ? std::string(1, "abc"[i]) : "", TJoin::First, {}};
            sc.Sources.push_back({t, tables > 1 ? f.Alias : Chance(50) ? "" : t->Name});
            if (i > 0) {
                const int k = Int(0, 9);
                f.Join = !joins || k < 4 ? TJoin::Comma : k < 7 ? TJoin::Inner : TJoin::Left;
                if (f.Join == TJoin::Left && tables == 2 && Chance(40)) f.Join = TJoin::Right;
                const int p = Int(0, i - 1);
                auto compare = [&] {
                    const TType type = HasType(*t, TType::Stamp) &&
                                               HasType(*sc.Sources[size_t(p)].Table, TType::Stamp) &&
                                               Chance(15)
                                           ? TType::Stamp
                                           : AnyType();
                    TScope on = sc;
                    on.Memos = true;
                    return Comparison(ColumnValue(on, type, p, Chance(80) ? 0 : 1),
                                      ColumnValue(on, type, i, Chance(80) ? 0 : 1));
                };
                if (f.Join == TJoin::Comma) {
                    if (Chance(70)) where.push_back(compare());
                    sc.Edges.push_back({p, i});
                } else {
                    f.On.push_back(compare());
                    if (Chance(30)) f.On.push_back(compare());
                    if (Chance(10)) f.On = {Node(TOp::Or, TType::Bool, {f.On[0], compare()})};
                    sc.Edges.push_back({p, i});
                }
            }
            s.From.push_back(f);
        }
        return sc;
    }

    // A SELECT; with shape, one plain or aggregate item per type (INSERT ... SELECT).
    TSelect Select(const std::vector<TType>* shape) {
        TSelect s;
        const int r = Int(0, 9);
        std::vector<TExpr> where;
        TScope sc = From(s, where, shape ? Int(1, 2) : r < 4 ? 1 : r < 8 ? 2 : 3, !shape);
        auto src = [&] { return Int(0, int(sc.Sources.size()) - 1); };
        if (Chance(65)) where.push_back(Condition(WithMemos(sc), 2, false));
        for (TExpr& w : where) s.Where = s.Where ? Node(TOp::And, TType::Bool, {*s.Where, w}) : w;
        sc.Params = false;  // not in select items
        sc.Mixed = true;
        sc.Written = shape != nullptr;
        if (shape) {
            bool aggregate = Chance(25);
            for (TType t : *shape) aggregate = aggregate && t != TType::Str && t != TType::Date;
            for (TType t : *shape)
                s.Items.push_back(aggregate ? Aggregate(sc, src(), t) : Value(sc, t, src(), 1));
            s.Distinct = !aggregate && Chance(15);
            return s;
        }
        const int mode = Int(0, 99);
        if (mode < 55) {
            // A RIGHT JOIN puts its table first in this dialect's source list, and so first
            // in the columns of *.
            // Nor is * written over a memo: DISTINCT and ORDER BY refuse one.
            s.Star = Chance(10) && std::none_of(s.From.begin(), s.From.end(), [&](const TFrom& f) {
                         const std::vector<TColumn>& cols = Find(*T, f.Table).Columns;
                         return f.Join == TJoin::Right ||
                                std::any_of(cols.begin(), cols.end(),
                                            [](const TColumn& c) { return c.Type == TType::Memo; });
                     });
            for (int n = s.Star ? 0 : Int(1, 4); n > 0; --n) {
                const TType t = AnyType();
                if (const auto stamp = Chance(8) ? StampItem(sc) : std::nullopt)
                    s.Items.push_back(*stamp);
                else if (sc.Sources.size() > 1 && (t == TType::Int || t == TType::Real) && Chance(10))
                    s.Items.push_back(Node(TOp::Add, t, {ColOf(sc.Sources[0], t), ColOf(sc.Sources[1], t)}));
                else
                    s.Items.push_back(Chance(50) ? ColOf(sc.Sources[size_t(src())], t)
                                                 : Value(sc, t, src(), 2));
            }
            s.Distinct = Chance(15);
        } else if (mode < 70) {
            for (int n = Int(1, 3); n > 0; --n) s.Items.push_back(Aggregate(sc, src()));
            if (Chance(10)) s.MaxRows = Int(1, 3);
        } else {
            for (int n = Int(1, 2); n > 0; --n) {
                s.GroupBy.push_back(int(s.Items.size()));
                const auto stamp = Chance(8) ? StampItem(sc) : std::nullopt;
                s.Items.push_back(stamp        ? *stamp
                                  : Chance(80) ? ColOf(sc.Sources[size_t(src())], AnyType())
                                               : ColumnValue(sc, AnyType(), src(), 1));
            }
            s.GroupByName = Chance(50);
            for (int n = Int(1, 2); n > 0; --n) s.Items.push_back(Aggregate(sc, src()));
            // HAVING names aggregates and columns of the list (its columns stand for those of
            // the list: an expression of them is not one); COUNT(*) is not written there.
            for (int n = Chance(30) ? Int(1, 2) : 0; n > 0; --n) {
                const TExpr& a = Pick(s.Items);
                if (a.Op == TOp::CountStar || (a.Op != TOp::Column && !IsAggregate(a.Op))) continue;
                if (Has(a, [](const TExpr& x) {
                        return x.Op == TOp::Like || x.Op == TOp::IsNull || x.Op == TOp::IsNotNull;
                    }))
                    continue;  // HAVING takes no LIKE or NULL test
                TExpr c = Comparison(a, Constant(a.Type, RandomValue(a.Type, false)));
                s.Having = s.Having ? Node(Chance(50) ? TOp::And : TOp::Or, TType::Bool, {*s.Having, c}) : c;
            }
        }
        int columns = int(s.Items.size());
        for (const TFrom& f : s.From) columns += s.Star ? int(Find(*T, f.Table).Columns.size()) : 0;
        if (Chance(40)) {
            for (int n = Int(1, 2); n > 0; --n) {
                TOrder o{Int(0, columns - 1), Chance(30), false};
                o.ByName = !s.Star && s.Items[size_t(o.Item)].Op == TOp::Column && Chance(30);
                s.OrderBy.push_back(o);
            }
            s.NoCase = Chance(20);
        }
        // A memo or a text expression over memos, last, in a result neither DISTINCT nor
        // grouped, and not in its order.
        if (mode < 55 && !s.Star && !s.Distinct && Chance(20))
            s.Items.push_back(ColumnValue(WithMemos(sc), TType::Str, src(), Int(0, 1)));
        return s;
    }

    TExpr InsertValue(const TTable& target, const TColumn& c) {
        TScope none;
        none.Written = true;
        const int r = Int(0, 99);
        if (r < 10) return NullConstant(c.Type);
        if (c.Type == TType::Memo && r < 60) return Value(none, TType::Str, -1, 1);  // a text expression
        if (c.Type == TType::Stamp)
            return Constant(c.Type, RandomValue(c.Type, false), Chance(30) ? TOp::Param : TOp::Const);
        if (c.Type == TType::Time || c.Type == TType::Memo)
            return Constant(c.Type, RandomValue(c.Type, false));
        if (r < 30)
            return Constant(c.Type, RandomValue(c.Type, true),
                            c.Type == TType::Dec ? TOp::Const : TOp::Param);
        if (c.Type == TType::Str && r < 35) return Constant(c.Type, TextValue(Pick(target.Columns).Name));
        if (c.Type == TType::Bool) return Constant(c.Type, RandomValue(c.Type, false));
        return Value(none, WrittenType(c.Type), -1, r < 45 ? 1 : 0);
    }

    TExpr SetValue(const TScope& sc, const TColumn& c) {
        if (Chance(10)) return NullConstant(c.Type);
        if (c.Type == TType::Bool)
            return Constant(c.Type, RandomValue(c.Type, false), Chance(30) ? TOp::Param : TOp::Const);
        TScope values = sc;
        values.SubSelects = false;
        values.Written = true;
        // A memo takes a text expression, over memos too (UPPER(x1) || s1).
        values.Memos = c.Type == TType::Memo;
        if (c.Type == TType::Memo && Chance(50)) return Operand(values, TType::Str, 0, 2);
        if (c.Type == TType::Stamp) return Operand(values, c.Type, 0, 1);
        if (c.Type == TType::Time || c.Type == TType::Memo)
            return Constant(c.Type, RandomValue(c.Type, false));
        return Operand(values, WrittenType(c.Type), 0, 2);
    }

    std::mt19937_64 G;
    std::map<std::string, int> Bound;  // the most rows a table can hold
    bool InTransaction = false;
    const TTables* T = nullptr;
    std::shared_ptr<const TTables> Current;  // the definitions as the statements so far left them
    int Names = 0;                           // of indexes and added columns
};

using TParams = std::vector<std::pair<TType, TValue>>;  // a marker's type and value

// ---- The two texts of a statement --------------------------------------------------------

// A column's type; SQLite's refuses the values a 16-bit column cannot hold, as this dialect
// refuses to store them.
std::string TypeText(const TColumn& c, bool lite) {
    static const char* ours[] = {"INTEGER",       "FLOAT", "CHAR",      "BOOLEAN",  "DATE",
                                 "DECIMAL(10,2)", "TIME",  "BLOB(1,1)", "TIMESTAMP"};
    static const char* lites[] = {"INTEGER", "REAL", "TEXT", "INTEGER", "TEXT",
                                  "REAL",    "TEXT", "TEXT", "TEXT"};  // booleans 0 and 1
    static const char* kinds[] = {"INTEGER", "SMALLINT", "WORD"};
    if (c.Type == TType::Int && c.Kind != 0)
        return lite ? "INTEGER CHECK (" + c.Name + " BETWEEN " + std::to_string(KindRange[c.Kind].first) +
                          " AND " + std::to_string(KindRange[c.Kind].second) + ")"
                    : kinds[c.Kind];
    return (lite ? lites : ours)[int(c.Type)] +
           (c.Type == TType::Str && !lite ? "(" + std::to_string(c.Width) + ")" : std::string());
}

// A DEFAULT's value as a constant of SQLite's.
std::string LiteDefault(const TColumn& c) {
    return c.Default.empty() ? "NULL" : Literal(ValueOf(c.Type, Cased(c.Case, c.Default)));
}

// NOT NULL, DEFAULT, MIN and MAX (SQLite: its constraints); every one of them when all are
// given anew, as REDEFINE gives them.
std::string RulesText(const TColumn& c, bool lite, bool all = false) {
    std::string text = c.NotNull ? " NOT NULL" : "";
    if (lite) {
        if (!c.Default.empty()) text += " DEFAULT " + LiteDefault(c);
        if (!c.Min.empty()) text += " CHECK (" + c.Name + " >= " + c.Min + ")";
        if (!c.Max.empty()) text += " CHECK (" + c.Name + " <= " + c.Max + ")";
        return text;
    }
    if (all || !c.Default.empty()) text += " DEFAULT '" + c.Default + "'";
    if (all || !c.Min.empty()) text += " MIN '" + c.Min + "'";
    if (all || !c.Max.empty()) text += " MAX '" + c.Max + "'";
    static const char* cases[] = {"NOCHANGE", "UPPER", "LOWER"};
    if (all || c.Case) text += std::string(" CHARCASE ") + cases[c.Case];
    return text;
}

std::string CreateText(const TTable& t, bool lite, const std::string& name = "") {
    std::string cols;
    for (const TColumn& c : t.Columns)
        cols += (cols.empty() ? "" : ", ") + c.Name + " " + TypeText(c, lite) + RulesText(c, lite);
    if (t.Unique >= 0 && t.Primary && !lite)
        cols += ", PRIMARY KEY (" + t.Columns[size_t(t.Unique)].Name + ")";
    return "CREATE TABLE " + (!name.empty() ? name : lite ? t.Name : OurName(t)) + " (" + cols + ")";
}

std::string IndexText(const TTable& t, const TIndex& i, bool lite) {
    return "CREATE " + (lite ? "" : i.Options) + "INDEX " + i.Name + " ON " + (lite ? t.Name : OurName(t)) +
           " (" + t.Columns[size_t(i.Column)].Name + ")";
}

// SQLite's unique index of the table: NULL is one key, as in this dialect.
std::string LiteUniqueText(const TTable& t) {
    return "CREATE UNIQUE INDEX " + t.Name + "u ON " + t.Name + " (coalesce(" +
           t.Columns[size_t(t.Unique)].Name + ", x'00'))";
}

// SQLite's form of a column's values after ALTER TABLE changed its type.
std::string Converted(const TColumn& from, const TColumn& to) {
    if (Unconverted(from.Type, to.Type)) return "NULL";
    if (from.Type != to.Type && (from.Type == TType::Stamp || to.Type == TType::Stamp))
        return (to.Type == TType::Date   ? "date("
                : to.Type == TType::Time ? "time("
                                         : "datetime(") +
               from.Name + ")";
    if (to.Type == TType::Str) {
        const std::string text = from.Type == TType::Str ? from.Name : "CAST(" + from.Name + " AS TEXT)";
        return "NULLIF(substr(" + LiteCased(to, text) + ", 1, " + std::to_string(to.Width) + "), '')";
    }
    const std::string value =
        from.Type == to.Type ? from.Name
                             : "CAST(" + from.Name + (to.Type == TType::Int ? " AS INTEGER)" : " AS REAL)");
    // A value a 16-bit column cannot hold does not convert.
    if (to.Type != TType::Int || to.Kind == 0) return value;
    return "CASE WHEN " + value + " BETWEEN " + std::to_string(KindRange[to.Kind].first) + " AND " +
           std::to_string(KindRange[to.Kind].second) + " THEN " + value + " END";
}

// Ours: the statement as written, parameters as markers. SQLite's: the same statement with
// this dialect's rules spelt out, parameters as constants.
class TRender {
public:
    TRender(const TTables& tables, bool lite, bool modelNull, TParams* params = nullptr)
        : Tables(tables), Lite(lite), ModelNull(modelNull), Params(params) {}

    std::string Statement(const TStatement& s) {
        const TTable* target = s.Kind == TKind::Select ? nullptr : &Find(Tables, s.Target);
        switch (s.Kind) {
            case TKind::Select:
                return Select(s.Query, false);
            case TKind::Insert: {
                std::string cols;
                for (int c : s.Columns) cols += (cols.empty() ? "" : ", ") + target->Columns[size_t(c)].Name;
                std::string text =
                    "INSERT INTO " + Name(s.Target) + (s.ColumnList || Lite ? " (" + cols + ")" : "");
                if (s.Values.empty()) {
                    if (!Lite) return text + " " + Select(s.Query, false);
                    std::string items;
                    for (size_t i = 0; i < s.Columns.size(); ++i)
                        items += (i ? ", " : "") + Stored(target->Columns[size_t(s.Columns[i])],
                                                          "q.v" + std::to_string(i), s.Query.Items[i].Type);
                    return text + " SELECT " + items + " FROM (" + Select(s.Query, true) + ") AS q";
                }
                std::string values;
                for (size_t i = 0; i < s.Values.size(); ++i)
                    values += (i ? ", " : "") + Written(target->Columns[size_t(s.Columns[i])], s.Values[i]);
                return text + " VALUES (" + values + ")";
            }
            case TKind::Update: {
                std::string sets;
                for (size_t i = 0; i < s.Values.size(); ++i) {
                    const TColumn& c = target->Columns[size_t(s.Columns[i])];
                    const std::string v = Written(c, s.Values[i]);
                    sets += (i ? ", " : "") + c.Name + " = " + v;
                    // A later item reads what this one wrote.
                    if (Lite) Written_[c.Name] = "(" + v + ")";
                }
                Written_.clear();
                return "UPDATE " + Name(s.Target) + " SET " + sets + Where(s);
            }
            case TKind::Delete:
                return "DELETE FROM " + Name(s.Target) + Where(s);
            case TKind::CreateIndex:
                return IndexText(*target, s.Index, Lite);
            case TKind::DropIndex:
                return Lite ? "DROP INDEX IF EXISTS " + s.Index.Name
                            : "DROP INDEX " + std::string(target->Memory ? "MEMORY " : "") + s.Target + "." +
                                  s.Index.Name;
            case TKind::Alter:
                return Lite ? Rebuild(s) : Alter(s);
            case TKind::Begin:
                return "BEGIN";
            case TKind::Commit:
                return "COMMIT";
            case TKind::Rollback:
                return "ROLLBACK";
        }
        return "";
    }

private:
    std::string Name(const std::string& table) const { return Lite ? table : OurName(Find(Tables, table)); }

    std::string Alter(const TStatement& s) const {
        std::string text;
        for (const TAlteration& a : s.Alterations) {
            const std::string at = a.At ? " AT " + std::to_string(a.At) : "";
            text += text.empty() ? " " : ", ";
            switch (a.What) {
                case TAlteration::Add:
                    text += "ADD " + a.Column.Name + " " + TypeText(a.Column, false) + at +
                            RulesText(a.Column, false);
                    break;
                case TAlteration::Redefine:
                    text += "REDEFINE " + a.Name + (a.NewName ? " " + a.Column.Name : "") +
                            (a.NewType ? " " + TypeText(a.Column, false) : "") + at +
                            (a.NewRules ? RulesText(a.Column, false, true) : "");
                    break;
                case TAlteration::Drop:
                    text += "DROP " + a.Name;
                    break;
                case TAlteration::AddPrimary:
                    text += "ADD PRIMARY KEY (" + a.Name + ")";
                    break;
                case TAlteration::DropPrimary:
                    text += "DROP PRIMARY KEY";
                    break;
            }
        }
        return "ALTER TABLE " + Name(s.Target) + text + (s.NoBackup ? " NOBACKUP" : "");
    }

    // SQLite has no ALTER TABLE of this reach: a new table takes the rows, each column from
    // the one it was, and the old one's place, all or nothing.
    static std::string Rebuild(const TStatement& s) {
        const TTable& before = Find(*s.Schema, s.Target);
        const TTable& after = Find(*s.After, s.Target);
        std::string values;
        for (size_t c = 0; c < after.Columns.size(); ++c)
            values += (c ? ", " : "") +
                      (s.From[c] < 0 ? LiteDefault(after.Columns[c])
                                     : Converted(before.Columns[size_t(s.From[c])], after.Columns[c]));
        const std::string name = s.Target + "_new";
        return "SAVEPOINT rebuild; " + CreateText(after, true, name) + "; INSERT INTO " + name + " SELECT " +
               values + " FROM " + s.Target + "; DROP TABLE " + s.Target + "; ALTER TABLE " + name +
               " RENAME TO " + s.Target + "; " + (after.Unique >= 0 ? LiteUniqueText(after) + "; " : "") +
               "RELEASE rebuild";
    }

    // The condition of UPDATE or DELETE. This dialect decides every row before the first
    // changes (its sub-selects read the table as it was); SQLite is made to do the same by
    // choosing the rows in one sub-select.
    std::string Where(const TStatement& s) {
        if (!s.Where) return "";
        if (!Lite) return " WHERE " + Expr(*s.Where);
        return " WHERE rowid IN (SELECT rowid FROM " + s.Target + " WHERE " + Expr(*s.Where) + ")";
    }

    // A value as its column stores it: reals cut to integers, texts to the width and an
    // empty text as NULL.
    std::string Stored(const TColumn& c, const std::string& v, TType type) const {
        if (!Lite) return v;
        if (c.Type == TType::Int && type == TType::Real) return "CAST(" + v + " AS INTEGER)";
        if (c.Type == TType::Real && type == TType::Int) return "CAST(" + v + " AS REAL)";
        if (c.Type == TType::Str)
            return "NULLIF(substr(" + LiteCased(c, v) + ", 1, " + std::to_string(c.Width) + "), '')";
        if (c.Type == TType::Memo) return "NULLIF(" + v + ", '')";
        return v;
    }
    std::string Written(const TColumn& c, const TExpr& e) { return Stored(c, Expr(e), e.Type); }

    std::string Select(const TSelect& s, bool numbered) {
        std::string text = s.Distinct ? "SELECT DISTINCT " : "SELECT ";
        if (s.Star) text += "*";
        for (size_t i = 0; i < s.Items.size(); ++i) {
            std::string item = Expr(s.Items[i]);
            if (Lite && s.Items[i].Type == TType::Str) item = "NULLIF(" + item + ", '')";
            text += (i ? ", " : "") + item + (numbered ? " AS v" + std::to_string(i) : "");
        }
        if (s.Into && !Lite) text += std::string(s.IntoMemory ? " INTO MEMORY " : " INTO ") + IntoTable;
        text += " FROM ";
        for (const TFrom& f : s.From) {
            static const char* joins[] = {"", ", ", " JOIN ", " LEFT JOIN ", " RIGHT JOIN "};
            text += joins[int(f.Join)] + Name(f.Table) + (f.Alias.empty() ? "" : " " + f.Alias);
            for (size_t i = 0; i < f.On.size(); ++i) text += (i ? " AND " : " ON ") + Expr(f.On[i]);
        }
        if (s.Where) text += " WHERE " + Expr(*s.Where);
        auto item = [&](int i, bool byName) {
            return byName && !Lite ? Expr(s.Items[size_t(i)]) : std::to_string(i + 1);
        };
        for (size_t i = 0; i < s.GroupBy.size(); ++i)
            text += (i ? ", " : " GROUP BY ") +
                    item(s.GroupBy[i], s.GroupByName && s.Items[size_t(s.GroupBy[i])].Op == TOp::Column);
        if (s.Having) text += " HAVING " + Expr(*s.Having);
        for (size_t i = 0; i < s.OrderBy.size(); ++i)
            text += (i ? ", " : " ORDER BY ") + item(s.OrderBy[i].Item, s.OrderBy[i].ByName) +
                    (s.NoCase && Lite ? " COLLATE NOCASE" : "") + (s.OrderBy[i].Desc ? " DESC" : "");
        if (s.NoCase && !s.OrderBy.empty() && !Lite) text += " NOCASE";
        return text;
    }

    std::string Expr(const TExpr& e) {
        std::vector<std::string> a;  // in text order, as the markers are numbered
        for (const TExpr& x : e.Args) a.push_back(Expr(x));
        const std::string no = e.Negated ? "NOT " : "";
        switch (e.Op) {
            case TOp::Column: {
                auto w = Written_.find(e.Column);
                if (e.Table.empty() && w != Written_.end()) return w->second;
                return e.Table.empty() ? e.Column : e.Table + "." + e.Column;
            }
            case TOp::Const:
                if (e.Type == TType::Bool && e.Value.Kind == TValue::Int && !Lite)
                    return e.Value.I ? "TRUE" : "FALSE";
                return Lite && e.Value.Kind == TValue::Text && e.Value.S.empty() ? "NULL" : Literal(e.Value);
            case TOp::Param:
                if (Lite) return Literal(e.Value);
                if (Params) Params->push_back({e.Type, e.Value});
                return "?";
            case TOp::InList: {
                std::string list;
                for (size_t i = 1; i < a.size(); ++i)
                    list += Lite ? (i > 1 ? " OR " : "") + a[0] + " IS " + a[i] : (i > 1 ? ", " : "") + a[i];
                return Lite ? "(" + no + "(" + list + "))" : "(" + a[0] + " " + no + "IN (" + list + "))";
            }
            case TOp::InSelect:
                if (!Lite) return "(" + a[0] + " " + no + "IN (" + Select(*e.Sub, false) + "))";
                // One sub-select without a reference to the outer row, so that SQLite reads it
                // once, before a data statement changes a row, as this dialect does; NULL is
                // a blob on both sides, so that it equals NULL and nothing else.
                return "(" + no + "(coalesce(" + a[0] + ", x'00') IN (SELECT coalesce(q.v0, x'00') FROM (" +
                       Select(*e.Sub, true) + ") AS q)))";
            case TOp::Round: {
                if (!Lite) return "ROUND(" + a[0] + " TO " + a[1] + ")";
                // This dialect's rounding: the count of steps of 0.1 × 0.1 × ... (a little
                // above the decimal step, so exact halves go towards zero), then divided by
                // the power of ten. NULL rounds the zero its value holds.
                const std::string v = "coalesce(" + a[0] + ", 0.0)";
                std::string step = "1.0", power = "1.0";
                for (int64_t d = 0; d < e.Args[1].Value.I; ++d) {
                    step += " * 0.1";
                    power += " * 10.0";
                }
                return "(CAST(" + v + " / (" + step + ") + (CASE WHEN " + v +
                       " < 0 THEN -0.5 ELSE 0.5 END) AS INTEGER) / (" + power + "))";
            }
            case TOp::Mul:
            case TOp::Div:
                // A decimal product or quotient keeps two places.
                if (!Lite || e.Type != TType::Dec) break;
                return "round((CAST(" + a[0] + " AS REAL) " + (e.Op == TOp::Mul ? "*" : "/") + " " + a[1] +
                       "), 2)";
            case TOp::Sum:
                if (Lite && e.Type == TType::Dec) return "round(SUM(" + a[0] + "), 2)";
                break;
            case TOp::Add:
            case TOp::Sub:
                // A decimal sum is exact: SQLite's, of doubles, is brought back to two places.
                if (Lite && e.Type == TType::Dec)
                    return "round((" + a[0] + (e.Op == TOp::Add ? " + " : " - ") + a[1] + "), 2)";
                if (Lite && e.Type == TType::Stamp)  // days
                    return "datetime(" + a[0] + ", printf('%+d days', " +
                           (e.Op == TOp::Sub ? "-(" + a[1] + ")" : a[1]) + "))";
                if (Lite && e.Type == TType::Time)  // milliseconds added, whole seconds here
                    return "time(" + a[0] + ", printf('%+d seconds', " + (e.Op == TOp::Sub ? "-" : "") + "(" +
                           a[1] + ") / 1000))";
                if (!Lite || e.Type != TType::Date) break;
                return "date(" + a[0] + ", printf('%+d days', " +
                       (e.Op == TOp::Sub ? "-(" + a[1] + ")" : a[1]) + "))";
            case TOp::Cast:
                if (e.Type == TType::Date || e.Type == TType::Time)  // of a timestamp
                    return Lite ? (e.Type == TType::Date ? "date(" : "time(") + a[0] + ")"
                                : "CAST(" + a[0] + (e.Type == TType::Date ? " AS DATE)" : " AS TIME)");
                if (e.Type == TType::Str)
                    return Lite ? "substr(CAST(" + a[0] + " AS TEXT), 1, " + a[1] + ")"
                                : "CAST(" + a[0] + " AS CHAR(" + a[1] + "))";
                return "CAST(" + a[0] +
                       (e.Type == TType::Int ? " AS INTEGER)"
                        : Lite               ? " AS REAL)"
                                             : " AS FLOAT)");
            case TOp::Substring:
                if (!Lite)
                    return "SUBSTRING(" + a[0] + " FROM " + a[1] + (a.size() > 2 ? " FOR " + a[2] : "") + ")";
                return "NULLIF(substr(" + a[0] + ", " + a[1] + (a.size() > 2 ? ", " + a[2] : "") + "), '')";
            case TOp::Replace:
                // An empty replacement is an empty text here, not the NULL it stands for elsewhere.
                if (!Lite) return "REPLACE(" + a[0] + " WITH " + a[1] + " IN " + a[2] + ")";
                return "NULLIF(replace(coalesce(" + a[2] + ", ''), " + a[0] + ", " +
                       Literal(e.Args[1].Value) + "), '')";
            default:
                break;
        }
        // Ours, then SQLite's form with this dialect's rules: $0.. are the operands, $n the NOT
        // of a NOT form.
        static const std::map<TOp, std::pair<const char*, const char*>> forms{
            {TOp::Neg, {"-($0)", "-($0)"}},
            {TOp::Add, {"($0 + $1)", "($0 + $1)"}},
            {TOp::Sub, {"($0 - $1)", "($0 - $1)"}},
            {TOp::Mul, {"($0 * $1)", "($0 * $1)"}},
            {TOp::Div, {"($0 / $1)", "(CAST($0 AS REAL) / $1)"}},
            {TOp::Concat, {"($0 || $1)", "(coalesce($0, '') || coalesce($1, ''))"}},
            {TOp::Upper, {"UPPER($0)", "NULLIF(UPPER($0), '')"}},
            {TOp::Lower, {"LOWER($0)", "NULLIF(LOWER($0), '')"}},
            {TOp::Abs, {"ABS($0)", "abs(coalesce($0, 0))"}},
            {TOp::TrimLeading, {"TRIM(LEADING $1 FROM $0)", "NULLIF(ltrim($0, $1), '')"}},
            {TOp::TrimTrailing, {"TRIM(TRAILING $1 FROM $0)", "NULLIF(rtrim($0, $1), '')"}},
            {TOp::TrimBoth, {"TRIM(BOTH $1 FROM $0)", "NULLIF(trim($0, $1), '')"}},
            {TOp::Pos, {"POS($0 IN $1)", "instr(coalesce($1, ''), $0)"}},
            {TOp::Occurs,
             {"OCCURS($0 IN $1)",
              "((length(coalesce($1, '')) - length(replace(coalesce($1, ''), $0, ''))) / length($0))"}},
            {TOp::If, {"IF($0 THEN $1 ELSE $2)", "(CASE WHEN $0 THEN $1 ELSE $2 END)"}},
            {TOp::Year, {"EXTRACT(YEAR FROM $0)", "coalesce(CAST(strftime('%Y', $0) AS INTEGER), 0)"}},
            {TOp::Month, {"EXTRACT(MONTH FROM $0)", "coalesce(CAST(strftime('%m', $0) AS INTEGER), 0)"}},
            {TOp::Day, {"EXTRACT(DAY FROM $0)", "coalesce(CAST(strftime('%d', $0) AS INTEGER), 0)"}},
            {TOp::DayOfWeek,
             {"EXTRACT(DAYOFWEEK FROM $0)", "coalesce(CAST(strftime('%w', $0) AS INTEGER) + 1, 0)"}},
            {TOp::Days, {"($0 - $1)", "CAST(julianday($0) - julianday($1) AS INTEGER)"}},
            {TOp::Truth, {"$0", "($0 IS 1)"}},       // a boolean column standing alone: = TRUE
            {TOp::AsStamp, {"$0", "datetime($0)"}},  // a date beside a timestamp: its midnight
            {TOp::StampDiff,
             {"($0 - $1)",
              "((CAST(strftime('%s', $0) AS INTEGER) - CAST(strftime('%s', $1) AS INTEGER)) * 1000.0)"}},
            {TOp::Hour, {"EXTRACT(HOUR FROM $0)", "coalesce(CAST(strftime('%H', $0) AS INTEGER), 0)"}},
            {TOp::Minute, {"EXTRACT(MINUTE FROM $0)", "coalesce(CAST(strftime('%M', $0) AS INTEGER), 0)"}},
            {TOp::Second, {"EXTRACT(SECOND FROM $0)", "coalesce(CAST(strftime('%S', $0) AS INTEGER), 0)"}},
            {TOp::Eq, {"($0 = $1)", "($0 IS $1)"}},
            {TOp::Ne, {"($0 <> $1)", "($0 IS NOT $1)"}},
            {TOp::Lt, {"($0 < $1)", "coalesce(($0 < $1), 0)"}},
            {TOp::Gt, {"($0 > $1)", "coalesce(($0 > $1), 0)"}},
            {TOp::Le, {"($0 <= $1)", "coalesce(($0 <= $1), 0)"}},
            {TOp::Ge, {"($0 >= $1)", "coalesce(($0 >= $1), 0)"}},
            {TOp::And, {"($0 AND $1)", "($0 AND $1)"}},
            {TOp::Or, {"($0 OR $1)", "($0 OR $1)"}},
            {TOp::Not, {"(NOT $0)", "(NOT $0)"}},
            {TOp::IsNull, {"($0 IS NULL)", "($0 IS NULL)"}},
            {TOp::IsNotNull, {"($0 IS NOT NULL)", "($0 IS NOT NULL)"}},
            {TOp::Between,
             {"($0 $nBETWEEN $1 AND $2)", "($n(coalesce($0 >= $1, 0) AND coalesce($0 <= $2, 0)))"}},
            {TOp::Like, {"($0 $nLIKE $1)", "($ncoalesce($0 LIKE $1, 0))"}},
            {TOp::CountStar, {"COUNT(*)", "COUNT(*)"}},
            {TOp::Count, {"COUNT($0)", "COUNT($0)"}},
            {TOp::Sum, {"SUM($0)", "SUM($0)"}},
            {TOp::Min, {"MIN($0)", "MIN($0)"}},
            {TOp::Max, {"MAX($0)", "MAX($0)"}},
            {TOp::Avg, {"AVG($0)", "coalesce(AVG($0), 0.0)"}},
        };
        const auto& form = forms.at(e.Op);
        const bool comparison = e.Op >= TOp::Eq && e.Op <= TOp::Ge;
        std::string text;
        for (const char* p = Lite && (ModelNull || !comparison) ? form.second : form.first; *p; ++p) {
            if (*p != '$') {
                text += *p;
            } else {
                ++p;
                text += *p == 'n' ? no : a[size_t(*p - '0')];
            }
        }
        return text;
    }

    const TTables& Tables;
    bool Lite, ModelNull;
    TParams* Params;
    std::map<std::string, std::string> Written_;
};

std::string OurText(const TStatement& s, TParams* params = nullptr) {
    return TRender(*s.Schema, false, true, params).Statement(s);
}
std::string LiteText(const TStatement& s, bool modelNull) {
    return TRender(*s.Schema, true, modelNull).Statement(s);
}

// ---- The two databases -------------------------------------------------------------------

struct TResult {
    bool Failed = false;
    std::string Error;
    TRows Rows;
    int64_t Affected = 0;
};

// A value as a field of the type takes it (Data points into this, so it is not copied).
struct TFieldBytes {
    int16_t B = 0;
    int32_t I = 0;
    int64_t P = 0;
    double D = 0;
    const void* Data = nullptr;
    int32_t Size = 0;
    TFieldBytes(TType type, const TValue& v, int kind = 0) {
        if (type == TType::Int && kind != 0) type = TType::Bool;  // 16 bits
        switch (type) {
            case TType::Bool:
                B = int16_t(v.I);
                Data = &B, Size = 2;
                break;
            case TType::Int:
            case TType::Date:
            case TType::Time:
                I = type == TType::Int       ? int32_t(v.Number())
                    : v.Kind != TValue::Text ? 0
                    : type == TType::Date    ? DayNumber(v.S)
                                             : TimeMs(v.S);
                Data = &I, Size = 4;
                break;
            case TType::Real:
                D = v.Number();
                Data = &D, Size = 8;
                break;
            case TType::Dec:
                P = EncodeScaledFloat(2, v.Number());
                Data = &P, Size = 8;
                break;
            case TType::Stamp:
                D = v.Kind == TValue::Text ? StampMs(v.S) : 0;
                Data = &D, Size = 8;
                break;
            case TType::Str:
            case TType::Memo:  // never a parameter, and written through the BLOB calls
                Data = v.S.c_str(), Size = int32_t(v.S.size() + 1);
                break;
        }
    }
};

class TOurs {
public:
    explicit TOurs(const std::string& folder) {
        InitializeLibrary();
        Session = std::make_unique<TDataSession>();
        Session->SetPrivateDirectory(folder);
        Database = Session->OpenDirectory("db", folder);
    }
    ~TOurs() {
        Session.reset();
        FinalizeLibrary();
    }
    TOurs(const TOurs&) = delete;
    TOurs& operator=(const TOurs&) = delete;

    void Create(const TTable& t) {
        Run(CreateText(t, false), {}, -1);
        for (const TIndex& i : t.Indexes) Run(IndexText(t, i, false), {}, -1);
        if (t.Unique >= 0 && !t.Primary)
            Run("CREATE UNIQUE INDEX " + t.Name + "u ON " + OurName(t) + " (" +
                    t.Columns[size_t(t.Unique)].Name + ")",
                {}, -1);
        TDataCursor cursor(Database);
        cursor.SetTableName(t.Name);
        cursor.SetInMemory(t.Memory);
        cursor.Open();
        std::vector<uint8_t> record(size_t(cursor.GetRecordSize()));
        for (const TRow& row : t.Rows) {
            cursor.InitRecord(record.data());
            for (size_t c = 0; c < row.size(); ++c) {
                if (t.Columns[c].Type == TType::Memo) {
                    if (row[c].Kind == TValue::Null) continue;
                    const int32_t no = int32_t(c + 1);
                    cursor.OpenBlob(no, record.data(), 0, false, bmReadWrite);
                    cursor.PutBlob(no, record.data(), false, uint32_t(row[c].S.size()), row[c].S.data(), 0);
                    continue;
                }
                const TFieldBytes v(t.Columns[c].Type, row[c], t.Columns[c].Kind);
                cursor.PutField(int32_t(c + 1), record.data(),
                                row[c].Kind == TValue::Null ? nullptr : v.Data);
            }
            cursor.InsertRecord(record.data());
        }
    }

    TResult Run(const std::string& text, const TParams& params, int maxRows) {
        TResult r;
        try {
            TQueryStatement s(Database);
            s.SetMaxRowCount(maxRows);
            int32_t position = 0;
            s.Prepare(text, position);
            std::vector<TQueryStatement::TParamValue> fields;
            std::vector<uint8_t> bytes;
            for (const auto& [type, v] : params) {
                static const uint8_t types[] = {dtInteger, dtFloat, dtString, dtBoolean,  dtDate,
                                                dtBCD,     dtTime,  dtBlob,   dtTimeStamp};
                const TFieldBytes field(type, v);
                const auto* p = static_cast<const uint8_t*>(field.Data);
                fields.push_back({types[int(type)], 0, field.Size, 0, int32_t(bytes.size())});
                bytes.push_back(v.Kind == TValue::Null ? 0 : 1);
                bytes.insert(bytes.end(), p, p + field.Size);
            }
            if (!fields.empty()) s.SetParams(int32_t(fields.size()), fields.data(), bytes.data());
            TDataCursor* result = nullptr;
            s.Execute(result);
            r.Affected = s.GetRowsAffected();
            if (result) r.Rows = Rows(*result);
        } catch (const EZIZIVUEngineError& e) {
            r.Failed = true;
            r.Error = e.Message();
        }
        return r;
    }

    // BEGIN, COMMIT and ROLLBACK are the database's transaction calls here.
    TResult Transaction(TKind kind) {
        TResult r;
        try {
            if (kind == TKind::Begin) Database->StartTransaction();
            if (kind == TKind::Commit) Database->Commit(true);
            if (kind == TKind::Rollback) Database->Rollback();
        } catch (const EZIZIVUEngineError& e) {
            r.Failed = true;
            r.Error = e.Message();
        }
        return r;
    }
    bool InTransaction() const { return Database->InTransaction(); }

    // The rows of the table a SELECT ... INTO wrote, read as a new cursor sees them, in its
    // order; then the table goes.
    TResult IntoRows(bool memory) {
        TResult r;
        try {
            TDataCursor cursor(Database);
            cursor.SetTableName(IntoTable);
            cursor.SetInMemory(memory);
            cursor.Open();
            r.Rows = Rows(cursor);
            cursor.Close();
        } catch (const EZIZIVUEngineError& e) {
            r.Failed = true;
            r.Error = "the INTO table: " + e.Message();
        }
        const TResult drop = Run(std::string("DROP TABLE ") + (memory ? "MEMORY " : "") + IntoTable, {}, -1);
        if (drop.Failed && !r.Failed) r = drop;
        return r;
    }

private:
    static std::string Memo(TDataCursor& c, int32_t no, uint8_t* record) {
        uint32_t size = 0, got = 0;
        if (c.OpenBlob(no, record, 0, false, bmRead) != 0) return "<unreadable>";
        c.GetBlobSize(no, record, false, size);
        std::string s(size, '\0');
        if (size) c.GetBlob(no, record, false, got, size, s.data(), 0);
        c.FreeBlob(no, record, 0, false);
        return s.substr(0, got);
    }

    static TRows Rows(TDataCursor& c) {
        TRows rows;
        std::vector<uint8_t> record(size_t(std::max(c.GetRecordSize(), 9)));
        c.First();
        while (c.GetNextRecord(record.data()) == 0) {
            TRow row;
            for (int32_t no = 1; no <= c.GetFieldCount(); ++no) {
                const TFieldDescriptor& f = c.GetFieldDefinition(no);
                if (f.WorkArea[HiddenFieldByte]) continue;
                uint8_t v[256] = {};
                bool blank = false;
                c.GetField(no, record.data(), blank, v);
                if (f.DataType == dtBlob) {
                    row.push_back(blank ? TValue{} : TextValue(Memo(c, no, record.data())));
                    continue;
                }
                auto load = [&](auto x) {
                    std::memcpy(&x, v, sizeof x);
                    return x;
                };
                const bool small = f.DataType == dtSmallInt || f.DataType == dtBoolean;
                row.push_back(blank                       ? TValue{}
                              : f.DataType == dtString    ? TextValue(reinterpret_cast<const char*>(v))
                              : f.DataType == dtDate      ? TextValue(DateText(load(int32_t())))
                              : f.DataType == dtTime      ? TextValue(TimeText(load(int32_t())))
                              : f.DataType == dtTimeStamp ? TextValue(StampText(load(0.0)))
                              : f.DataType == dtBCD       ? RealValue(DecodeScaledFloat(load(int64_t())))
                              : f.DataType == dtFloat     ? RealValue(load(0.0))
                              : small                     ? IntValue(load(int16_t()))
                              : f.DataType == dtWord      ? IntValue(load(uint16_t()))
                                                          : IntValue(load(int32_t())));
            }
            rows.push_back(row);
        }
        return rows;
    }

    std::unique_ptr<TDataSession> Session;
    TDataDirectory* Database = nullptr;
};

class TLite {
public:
    TLite() {
        sqlite3_open(":memory:", &Db);
        Run("PRAGMA case_sensitive_like = ON");
    }
    ~TLite() { sqlite3_close(Db); }
    bool InTransaction() const { return sqlite3_get_autocommit(Db) == 0; }
    TLite(const TLite&) = delete;
    TLite& operator=(const TLite&) = delete;

    void Create(const TTable& t) {
        Run(CreateText(t, true));
        if (t.Unique >= 0) Run(LiteUniqueText(t));
        for (const TRow& row : t.Rows) {
            std::string values;
            for (const TValue& v : row) values += (values.empty() ? "" : ", ") + Literal(v);
            Run("INSERT INTO " + t.Name + " VALUES (" + values + ")");
        }
    }

    // Runs each statement of the text; the rows are the last one's. A text that opens a
    // savepoint is taken back whole when one of its statements fails.
    TResult Run(const std::string& text) {
        TResult r;
        for (const char* next = text.c_str(); *next && !r.Failed;) r = One(next, next);
        if (r.Failed && text.starts_with("SAVEPOINT ")) Run("ROLLBACK TO rebuild; RELEASE rebuild");
        return r;
    }

private:
    TResult One(const char* text, const char*& next) {
        TResult r;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(Db, text, -1, &s, &next) != SQLITE_OK) {
            r.Failed = true;
            r.Error = sqlite3_errmsg(Db);
            return r;
        }
        while (*next == ' ') ++next;
        if (!s) return r;  // nothing but blanks
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            TRow row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const int type = sqlite3_column_type(s, i);
                row.push_back(type == SQLITE_INTEGER ? IntValue(sqlite3_column_int64(s, i))
                              : type == SQLITE_FLOAT ? RealValue(sqlite3_column_double(s, i))
                              : type == SQLITE_TEXT
                                  ? TextValue(reinterpret_cast<const char*>(sqlite3_column_text(s, i)))
                                  : TValue{});
            }
            r.Rows.push_back(row);
        }
        if (rc != SQLITE_DONE) {
            r.Failed = true;
            r.Error = sqlite3_errmsg(Db);
        }
        r.Affected = sqlite3_column_count(s) ? int64_t(r.Rows.size()) : sqlite3_changes(Db);
        sqlite3_finalize(s);
        return r;
    }

    sqlite3* Db = nullptr;
};

// ---- Comparing ---------------------------------------------------------------------------

std::string RowText(const TRow& row) {
    std::string s = "(";
    for (size_t c = 0; c < row.size(); ++c) s += (c ? ", " : "") + Literal(row[c]);
    return s + ")\n";
}

std::string RowsText(const TResult& r) {
    if (r.Failed) return "failed: " + r.Error + "\n";
    std::string s = std::to_string(r.Rows.size()) + " rows, " + std::to_string(r.Affected) + " affected\n";
    for (size_t i = 0; i < r.Rows.size() && i < 12; ++i) s += "      " + RowText(r.Rows[i]);
    return r.Rows.size() > 12 ? s + "      ...\n" : s;
}

bool SameRow(const TRow& a, const TRow& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!Same(a[i], b[i])) return false;
    return true;
}

// Whether every row of part has a row of its own in whole (equal counts: the same rows).
bool Contained(TRows part, TRows whole) {
    // Each row's key is made once, not at every comparison of the sort.
    auto sorted = [](TRows& rows) {
        std::vector<std::pair<std::string, size_t>> keys(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            for (const TValue& v : rows[i]) keys[i].first += SortKey(v) + '\x1f';
            keys[i].second = i;
        }
        std::sort(keys.begin(), keys.end());
        TRows out;
        out.reserve(rows.size());
        for (const auto& k : keys) out.push_back(std::move(rows[k.second]));
        rows = std::move(out);
    };
    sorted(part);
    sorted(whole);
    if (part.size() == whole.size() && std::equal(part.begin(), part.end(), whole.begin(), SameRow))
        return true;
    // Reals near a rounding edge may sort apart: match them one by one.
    std::vector<bool> used(whole.size());
    for (const TRow& p : part) {
        size_t i = 0;
        while (i < whole.size() && (used[i] || !SameRow(p, whole[i]))) ++i;
        if (i == whole.size()) return false;
        used[i] = true;
    }
    return true;
}

bool SameRows(const TRows& a, const TRows& b) {
    return a.size() == b.size() && Contained(a, b);
}

// What differs between the two results of one SELECT (empty when they agree).
std::string SelectDiffers(const TSelect& s, const TResult& ours, const TResult& lite) {
    if (!SameRows(ours.Rows, lite.Rows)) return "other rows";
    auto folded = [&](TValue v) {  // texts that tie in a NOCASE order may come in either order
        if (s.NoCase && v.Kind == TValue::Text)
            std::transform(v.S.begin(), v.S.end(), v.S.begin(), ::tolower);
        return v;
    };
    for (size_t i = 0; i < ours.Rows.size(); ++i)
        for (const TOrder& o : s.OrderBy)
            if (!Same(folded(ours.Rows[i][size_t(o.Item)]), folded(lite.Rows[i][size_t(o.Item)])))
                return "another order";
    return "";
}

// What differs when the statement runs on both (empty when they agree); whether both
// refused it goes to bothFailed.
std::string Step(const TOptions& options, TOurs& ours, TLite& lite, const TStatement& s, bool& bothFailed) {
    const TTables& tables = *s.Schema;
    TParams params;
    const std::string ourText = OurText(s, &params);
    const std::string liteText = LiteText(s, options.ModelNullRules);
    const bool transaction = s.Kind >= TKind::Begin;
    TResult o = transaction ? ours.Transaction(s.Kind)
                            : ours.Run(ourText, params, s.Kind == TKind::Select ? s.Query.MaxRows : -1);
    if (s.Kind == TKind::Select && s.Query.Into && !o.Failed) o = ours.IntoRows(s.Query.IntoMemory);
    // COMMIT and ROLLBACK without a transaction do nothing here.
    const bool none = (s.Kind == TKind::Commit || s.Kind == TKind::Rollback) && !lite.InTransaction();
    const TResult l = none ? TResult{} : lite.Run(liteText);
    bothFailed = o.Failed && l.Failed;
    if (bothFailed && s.Kind != TKind::Select && !transaction && lite.InTransaction()) {
        // A refused statement keeps what it did so far in an open transaction here, where
        // SQLite takes back the statement alone: both give the transaction up.
        ours.Transaction(TKind::Rollback);
        lite.Run("ROLLBACK");
        return "";
    }
    // A table's rows on both sides, and how they differ (empty when they agree).
    auto rowsOf = [&](const TTable& t) -> std::string {
        const TResult to = ours.Run("SELECT * FROM " + OurName(t), {}, -1);
        const TResult tl = lite.Run("SELECT * FROM " + t.Name);
        if (!to.Failed && SameRows(to.Rows, tl.Rows)) return "";
        return "other rows in " + t.Name + " afterwards\n  ours:   " + RowsText(to) +
               "  SQLite: " + RowsText(tl);
    };
    if (transaction && !o.Failed && !l.Failed) {
        // Every table as the transaction left it.
        for (const TTable& t : tables)
            if (std::string differs = rowsOf(t); !differs.empty()) return differs;
        return "";
    }
    std::string what;
    if (o.Failed != l.Failed)
        what = o.Failed ? "refused by ours only: " + o.Error : "refused by SQLite only: " + l.Error;
    else if (!o.Failed && s.Kind == TKind::Select)
        what = SelectDiffers(s.Query, o, l);
    else if (!o.Failed && s.Kind <= TKind::Delete && o.Affected != l.Affected)
        what = "other rows affected";
    if (!what.empty()) return what + "\n  ours:   " + RowsText(o) + "  SQLite: " + RowsText(l);
    // The target's rows after the change, or after a refusal that must have left them.
    return s.Kind == TKind::Select ? "" : rowsOf(Find(tables, s.Target));
}

// A statement as a report shows it: our text with its settings, and SQLite's text.
std::string StatementText(const TStatement& s, bool modelNull) {
    TParams params;
    std::string text = "  statement: " + OurText(s, &params) + "\n";
    if (s.Kind == TKind::Select && s.Query.MaxRows >= 0)
        text += "  MaxRowCount: " + std::to_string(s.Query.MaxRows) + "\n";
    for (size_t i = 0; i < params.size(); ++i)
        text +=
            (i ? " " : "  parameters: ") + Literal(params[i].second) + (i + 1 == params.size() ? "\n" : "");
    return text + "  as SQLite runs it: " + LiteText(s, modelNull) + "\n";
}

// ---- Runs in a child process -------------------------------------------------------------

enum class TEndKind : uint8_t { Agreed, Mismatch, Crash };

struct TEnd {
    TEndKind Kind = TEndKind::Agreed;
    int Index = -1;  // of the statement that failed
    int Ran = 0;     // statements run
    int64_t BothFailed = 0;
    std::string Text;
};

// Runs the statements over the tables on both sides in a child, so that a crash or a hang
// of ours is a finding like a mismatch. The child reports each statement it starts.
TEnd RunForked(const TTables& tables, const std::vector<TStatement>& list, const TOptions& options) {
    TScratchDir folder("zelto-sqldiff", "/dev/shm");  // in memory: commits flush their files
    TForkChild child([&](TForkChild& link) {
        TOurs ours(folder.Path());
        TLite lite;
        for (const TTable& t : tables) {
            ours.Create(t);
            lite.Create(t);
        }
        for (const TStatement& s : list) {
            link.Send('.');
            bool both = false;
            const std::string differs = Step(options, ours, lite, s, both);
            if (both) link.Send('e');
            if (!differs.empty()) {
                link.Send('M');
                for (char c : differs) link.Send(c);
                return 1;
            }
            // The statements after it were written for the definitions it would have made.
            if (both && s.Kind >= TKind::CreateIndex && s.Kind <= TKind::Alter) return 0;
        }
        return 0;
    });
    const std::string said = child.ReceiveAll();
    const TChildEnd end = child.Finish();
    TEnd e;
    const size_t m = said.find('M');
    const std::string steps = said.substr(0, m);
    e.Ran = int(std::count(steps.begin(), steps.end(), '.'));
    e.Index = e.Ran - 1;
    e.BothFailed = std::count(steps.begin(), steps.end(), 'e');
    if (end.ExitedWith(0)) return e;
    e.Kind = end.ExitedWith(1) ? TEndKind::Mismatch : TEndKind::Crash;
    e.Text =
        m != std::string::npos ? said.substr(m + 1) : (std::ostringstream() << "ours " << end << "\n").str();
    return e;
}

// ---- Reduction ---------------------------------------------------------------------------

// The k-th simplification of a statement in a fixed walk order: a clause, item or operand
// left out, an operator replaced by its operand. False when there is no k-th.
class TShrink {
public:
    explicit TShrink(int k) : K(k) {}

    bool Statement(TStatement& s) {
        if (s.Kind == TKind::Select) return Select(s.Query);
        if (s.Kind != TKind::Delete && s.Values.size() > 1 && (s.Kind == TKind::Update || s.ColumnList))
            for (size_t i = 0; i < s.Values.size(); ++i)
                if (Take()) {
                    s.Values.erase(s.Values.begin() + long(i));
                    s.Columns.erase(s.Columns.begin() + long(i));
                    return true;
                }
        if (s.Kind == TKind::Insert && s.Values.empty() && Select(s.Query)) return true;
        if (Optional(s.Where)) return true;
        for (TExpr& v : s.Values)
            if (Expr(v)) return true;
        return false;
    }

private:
    bool Take() { return K-- == 0; }
    // Sets a field that differs from its plain value to it, as a simplification.
    template <class T>
    bool Clear(T& field, const T& plain) {
        if (field == plain || !Take()) return false;
        field = plain;
        return true;
    }

    bool Optional(std::optional<TExpr>& e) {
        if (!e) return false;
        if (Take()) {
            e.reset();
            return true;
        }
        return Expr(*e);
    }

    bool Expr(TExpr& e) {
        // An operand of the same type only: an integer beside a real would meet this dialect's
        // conversions of the other side (joins and constants take the column's type).
        for (TExpr& a : e.Args)
            if (a.Type == e.Type && !IsAggregate(e.Op) && e.Op != TOp::Truth && Take()) {
                TExpr keep = a;
                e = std::move(keep);
                return true;
            }
        if (Clear(e.Negated, false) || (e.Op == TOp::Param && Clear(e.Op, TOp::Const))) return true;
        if (e.Sub) {
            auto sub = std::make_shared<TSelect>(*e.Sub);
            if (Select(*sub)) {
                e.Sub = sub;
                return true;
            }
        }
        for (TExpr& a : e.Args)
            if (Expr(a)) return true;
        return false;
    }

    bool Select(TSelect& s) {
        for (size_t i = 0; s.Items.size() > 1 && i < s.Items.size(); ++i)
            if (Take()) {
                s.Items.erase(s.Items.begin() + long(i));
                // GROUP BY and ORDER BY items after it move one place on; its own go.
                std::erase(s.GroupBy, int(i));
                for (int& n : s.GroupBy) n -= n > int(i);
                std::erase_if(s.OrderBy, [&](const TOrder& o) { return o.Item == int(i); });
                for (TOrder& o : s.OrderBy) o.Item -= o.Item > int(i);
                return true;
            }
        if (Clear(s.Distinct, false) || Clear(s.OrderBy, {}) || Clear(s.NoCase, false) ||
            Clear(s.MaxRows, -1))
            return true;
        for (size_t i = 1; i < s.From.size(); ++i) {
            TFrom& f = s.From[i];
            if ((f.Join == TJoin::Left || f.Join == TJoin::Right) && Take()) {
                f.Join = TJoin::Inner;
                return true;
            }
            for (size_t c = 0; f.On.size() > 1 && c < f.On.size(); ++c)
                if (Take()) {
                    f.On.erase(f.On.begin() + long(c));
                    return true;
                }
        }
        if (Optional(s.Where) || Optional(s.Having)) return true;
        for (TFrom& f : s.From)
            for (TExpr& c : f.On)
                if (Expr(c)) return true;
        for (TExpr& e : s.Items)
            if (Expr(e)) return true;
        return false;
    }

    int K;
};

std::string TablesText(const TTables& tables, const std::string& statement) {
    std::string s;
    for (const TTable& t : tables) {
        if (statement.find(t.Name) == std::string::npos) continue;
        s += "  " + CreateText(t, false) + "\n";
        for (const TIndex& i : t.Indexes)
            s += "    " + i.Options + "index " + i.Name + " on " + t.Columns[size_t(i.Column)].Name + "\n";
        if (t.Unique >= 0 && !t.Primary)
            s += "    unique index on " + t.Columns[size_t(t.Unique)].Name + "\n";
        for (const TRow& row : t.Rows) s += "    " + RowText(row);
        if (t.Rows.empty()) s += "    no rows\n";
    }
    return s;
}

// The failing statement alone over the tables as they were before it, made smaller while it
// still fails the same way.
std::string Reduce(TTables tables, const std::vector<TStatement>& list, const TEnd& first,
                   const TOptions& options) {
    {
        // Before the statement the two sides agreed: SQLite's rows are those of both.
        TLite lite;
        for (const TTable& t : tables) lite.Create(t);
        for (int i = 0; i < first.Index; ++i) {
            const TStatement& s = list[size_t(i)];
            if (lite.Run(LiteText(s, options.ModelNullRules)).Failed && s.Kind != TKind::Select &&
                s.Kind < TKind::Begin && lite.InTransaction())
                lite.Run("ROLLBACK");  // as the run did
        }
        // The definitions as the statements before it left them.
        tables = *list[size_t(first.Index)].Schema;
        for (TTable& t : tables) t.Rows = lite.Run("SELECT * FROM " + t.Name).Rows;
    }
    TStatement s = list[size_t(first.Index)];
    TEnd last = first;
    // Enough trials for any statement here; a hang costs a deadline each, so time counts too.
    int trials = 0;
    const TDeadline deadline = TDeadline::After(std::chrono::minutes(5));
    auto more = [&] { return trials < 800 && !deadline.Passed(); };
    auto fails = [&](const TTables& t, const TStatement& candidate) {
        if (!more()) return false;
        ++trials;
        TEnd e = RunForked(t, {candidate}, options);
        if (e.Kind != first.Kind ||
            e.Text.substr(0, e.Text.find('\n')) != first.Text.substr(0, first.Text.find('\n')))
            return false;
        last = e;
        return true;
    };
    if (!fails(tables, s)) return "  (not without the statements before it)\n";
    for (bool smaller = true; smaller && more();) {
        smaller = false;
        for (size_t t = 0; t < tables.size(); ++t)
            for (size_t n = tables[t].Rows.size(); n >= 1; n /= 2)
                for (size_t i = 0; i + n <= tables[t].Rows.size();) {
                    TTables candidate = tables;
                    TRows& rows = candidate[t].Rows;
                    rows.erase(rows.begin() + long(i), rows.begin() + long(i + n));
                    if (fails(candidate, s)) {
                        tables = std::move(candidate);
                        smaller = true;
                    } else {
                        i += n;
                    }
                }
        for (int k = 0; more(); ++k) {
            TStatement candidate = s;
            if (!TShrink(k).Statement(candidate)) break;
            if (fails(tables, candidate)) {
                s = std::move(candidate);
                smaller = true;
                k = -1;
            }
        }
    }
    const std::string text = OurText(s);
    return TablesText(tables, text) + StatementText(s, options.ModelNullRules) +
           last.Text.substr(last.Text.find('\n') + 1);
}

uint64_t CaseSeed(uint64_t seed, int64_t c) {
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + uint64_t(c) + 1;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

TOutcome Run(const TOptions& options, std::ostream* progress) {
    TOutcome out;
    for (int64_t c = 0; out.Statements < options.Count; ++c) {
        TGenerator g(CaseSeed(options.Seed, c));
        const TTables tables = g.Tables();
        std::vector<TStatement> list;
        for (int64_t n = std::min<int64_t>(options.CaseStatements, options.Count - out.Statements); n > 0;
             --n)
            list.push_back(g.Statement());
        const TEnd end = RunForked(tables, list, options);
        out.BothFailed += end.BothFailed;
        if (end.Kind == TEndKind::Agreed) {
            out.Statements += end.Ran;
            if (progress && (c + 1) % 50 == 0)
                *progress << out.Statements << " statements, " << out.BothFailed << " refused by both"
                          << std::endl;
            continue;
        }
        out.Mismatch = true;
        if (end.Index < 0) {  // before the first statement
            out.Report = "Tables " + std::to_string(c) + " of seed " + std::to_string(options.Seed) +
                         " could not be made: " + end.Text;
            return out;
        }
        out.Report = "Statement " + std::to_string(out.Statements + end.Index) + " of seed " +
                     std::to_string(options.Seed) + " (tables " + std::to_string(c) + ", their statement " +
                     std::to_string(end.Index) + "): " + end.Text.substr(0, end.Text.find('\n')) +
                     "\n  met as: " + OurText(list[size_t(end.Index)]) + "\n  reduced:\n" +
                     Reduce(tables, list, end, options);
        out.Statements += end.Index;
        return out;
    }
    return out;
}

}  // namespace sqldiff
