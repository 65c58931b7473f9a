// The database section: our table engine and SQL processor beside SQLite on the same
// deterministic rows (fixed seeds), both in one scratch folder. SQLite runs with
// synchronous=OFF and an 8 MB page cache; our engine without forced buffer flushes. Every
// figure is the median of 3 runs. The UPDATE workloads run in a child process of their own
// (this program started again) so that its peak resident memory is the workload's alone.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/driver/BenchTable.h"
#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/sql/QueryStatement.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/Library.h"

namespace bench {

namespace {

constexpr uint64_t RowSeed = 20261207;
constexpr uint64_t ProbeSeed = 7;
constexpr int32_t QtyValues = 1000;  // distinct quantities, also the joined table's rows

// ---- The rows ----

struct TRowData {
    int32_t K = 0;
    std::string S16;
    std::string S100;
    int32_t Qty = 0;
};

std::string RandomText(std::mt19937_64& rng, size_t n) {
    std::string s(n, ' ');
    for (char& c : s) c = char('a' + rng() % 26);
    return s;
}

// Keys 1..n in ascending order, random texts and quantities.
std::vector<TRowData> MakeRows(int32_t n) {
    std::mt19937_64 rng(RowSeed);
    std::vector<TRowData> rows(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        rows[size_t(i)].K = i + 1;
        rows[size_t(i)].S16 = RandomText(rng, 16);
        rows[size_t(i)].S100 = RandomText(rng, 100);
        rows[size_t(i)].Qty = int32_t(rng() % QtyValues);
    }
    return rows;
}

std::vector<int32_t> RandomInts(size_t count, int32_t low, int32_t high, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int32_t> d(low, high);
    std::vector<int32_t> v(count);
    for (auto& x : v) x = d(rng);
    return v;
}

const char* OurTableSql =
    "CREATE TABLE %s (k INTEGER, s16 CHAR(16), s100 CHAR(100), qty INTEGER, PRIMARY KEY (k))";
const char* OurIndexSql = "CREATE INDEX %sQty ON %s (qty)";
const char* PeerTableSql = "CREATE TABLE %s (k INTEGER PRIMARY KEY, s16 TEXT, s100 TEXT, qty INTEGER)";
const char* PeerIndexSql = "CREATE INDEX %sQty ON %s (qty)";

std::string Format(const char* pattern, const std::string& name) {
    char buf[512];
    std::snprintf(buf, sizeof buf, pattern, name.c_str(), name.c_str());
    return buf;
}

// ---- Our engine ----

// Parameter values laid out as the query component lays them out: a flag byte and the
// stored bytes per value.
class TParams {
public:
    void Int(int32_t v) {
        Begin(dtInteger, 4);
        std::memcpy(FBytes.data() + FBytes.size() - 4, &v, 4);
    }
    void Text(const std::string& s) {
        Begin(dtString, int32_t(s.size() + 1));
        std::memcpy(FBytes.data() + FBytes.size() - s.size() - 1, s.c_str(), s.size() + 1);
    }
    void Clear() {
        FFields.clear();
        FBytes.clear();
    }
    void Apply(TQueryStatement& s) const {
        s.SetParams(int32_t(FFields.size()), FFields.data(), FBytes.data());
    }

private:
    void Begin(uint8_t type, int32_t size) {
        TQueryStatement::TParamValue f;
        f.DataType = type;
        f.DataSize = size;
        f.Offset = int32_t(FBytes.size());
        FFields.push_back(f);
        FBytes.push_back(1);
        FBytes.resize(FBytes.size() + size_t(size));
    }
    std::vector<TQueryStatement::TParamValue> FFields;
    std::vector<uint8_t> FBytes;
};

class TOurDb {
public:
    explicit TOurDb(const std::string& folder) {
        FSession = std::make_unique<TDataSession>();
        FSession->SetPrivateDirectory(folder);
        FSession->SetForceBufferFlush(false);
        FDatabase = FSession->OpenDirectory("bench", folder);
    }
    TDataDirectory* Database() const { return FDatabase; }

    // Runs a statement without parameters; the rows affected.
    int32_t Exec(const std::string& text) {
        TQueryStatement s(FDatabase);
        int32_t position = 0;
        s.Prepare(text, position);
        TDataCursor* result = nullptr;
        s.Execute(result);
        return s.GetRowsAffected();
    }

    void DropIfExists(const std::string& table) {
        if (FDatabase->TableExists(table + ".DAT", false)) Exec("DROP TABLE " + table);
    }

    void CreateTable(const std::string& table) {
        DropIfExists(table);
        Exec(Format(OurTableSql, table));
        Exec(Format(OurIndexSql, table));
    }

    std::unique_ptr<TDataCursor> Open(const std::string& table) {
        auto c = std::make_unique<TDataCursor>(FDatabase);
        c->SetTableName(table);
        c->Open();
        return c;
    }

    // The rows through the cursor, in one transaction.
    void InsertByCursor(const std::string& table, const std::vector<TRowData>& rows) {
        auto c = Open(table);
        std::vector<uint8_t> r(size_t(c->GetRecordSize()));
        FDatabase->StartTransaction();
        for (const TRowData& row : rows) {
            c->InitRecord(r.data());
            c->PutField(1, r.data(), &row.K);
            c->PutField(2, r.data(), row.S16.c_str());
            c->PutField(3, r.data(), row.S100.c_str());
            c->PutField(4, r.data(), &row.Qty);
            c->InsertRecord(r.data(), false);
        }
        FDatabase->Commit(true);
    }

    // The rows through one prepared INSERT with parameters, in one transaction.
    void InsertBySql(const std::string& table, const std::vector<TRowData>& rows) {
        TQueryStatement s(FDatabase);
        int32_t position = 0;
        s.Prepare("INSERT INTO " + table + " (k, s16, s100, qty) VALUES (?, ?, ?, ?)", position);
        TParams p;
        FDatabase->StartTransaction();
        for (const TRowData& row : rows) {
            p.Clear();
            p.Int(row.K);
            p.Text(row.S16);
            p.Text(row.S100);
            p.Int(row.Qty);
            p.Apply(s);
            TDataCursor* result = nullptr;
            s.Execute(result);
        }
        FDatabase->Commit(true);
    }

private:
    std::unique_ptr<TDataSession> FSession;
    TDataDirectory* FDatabase = nullptr;
};

// A prepared statement run again and again with new parameters.
class TOurQuery {
public:
    TOurQuery(TOurDb& db, const std::string& text) : FText(text), FStatement(db.Database()) {
        int32_t position = 0;
        FStatement.Prepare(text, position);
    }
    TParams& Params() { return FParams; }
    // Runs with the parameters given since the last run; the result's rows are read
    // through, and the first integer column of each summed (so that nothing is skipped).
    int64_t Run() {
        FParams.Apply(FStatement);
        FParams.Clear();
        TDataCursor* result = nullptr;
        FStatement.Execute(result);
        // The plan of the first run, beside the progress lines.
        if (!FPlanShown)
            std::fprintf(stderr, "  plan: %s: %s\n", FText.c_str(),
                         FStatement.MainQuery()->PlanText().c_str());
        FPlanShown = true;
        int64_t sum = 0;
        if (!result) return sum;
        if (FRecord.size() < size_t(result->GetRecordSize())) FRecord.resize(size_t(result->GetRecordSize()));
        result->First();
        while (result->GetNextRecord(FRecord.data()) == 0) {
            bool blank = false;
            result->GetField(1, FRecord.data(), blank, FValue);
            const uint8_t type = result->GetFieldDefinition(1).DataType;
            if (blank || type == dtString) {
                ++sum;
            } else if (type == dtFloat) {
                double v;
                std::memcpy(&v, FValue, 8);
                sum += int64_t(v);
            } else if (type == dtSmallInt) {
                int16_t v;
                std::memcpy(&v, FValue, 2);
                sum += v;
            } else {
                int32_t v;
                std::memcpy(&v, FValue, 4);
                sum += v;
            }
        }
        return sum;
    }

private:
    std::string FText;
    bool FPlanShown = false;
    TQueryStatement FStatement;
    TParams FParams;
    std::vector<uint8_t> FRecord;
    uint8_t FValue[512] = {};
};

// ---- SQLite ----

class TPeerDb {
public:
    explicit TPeerDb(const std::string& path) {
        if (sqlite3_open(path.c_str(), &FDb) != SQLITE_OK) throw std::runtime_error("sqlite3_open " + path);
        Exec("PRAGMA synchronous=OFF");
        Exec("PRAGMA cache_size=-8192");  // 8 MB
    }
    ~TPeerDb() { sqlite3_close(FDb); }
    TPeerDb(const TPeerDb&) = delete;
    TPeerDb& operator=(const TPeerDb&) = delete;
    sqlite3* Handle() const { return FDb; }

    void Exec(const std::string& text) {
        char* error = nullptr;
        if (sqlite3_exec(FDb, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string m = error ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error("sqlite: " + m + " in " + text);
        }
    }

    void CreateTable(const std::string& table) {
        Exec("DROP TABLE IF EXISTS " + table);
        Exec(Format(PeerTableSql, table));
        Exec(Format(PeerIndexSql, table));
    }

    void Insert(const std::string& table, const std::vector<TRowData>& rows);

private:
    sqlite3* FDb = nullptr;
};

class TPeerQuery {
public:
    TPeerQuery(TPeerDb& db, const std::string& text) {
        if (sqlite3_prepare_v2(db.Handle(), text.c_str(), -1, &FStatement, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db.Handle()));
    }
    ~TPeerQuery() { sqlite3_finalize(FStatement); }
    TPeerQuery(const TPeerQuery&) = delete;
    TPeerQuery& operator=(const TPeerQuery&) = delete;
    void Int(int32_t v) { sqlite3_bind_int(FStatement, ++FBound, v); }
    void Text(const std::string& s) {
        sqlite3_bind_text(FStatement, ++FBound, s.data(), int(s.size()), SQLITE_STATIC);
    }
    // Steps through every row, summing the first column as the engine's run does.
    int64_t Run() {
        int64_t sum = 0;
        int rc;
        while ((rc = sqlite3_step(FStatement)) == SQLITE_ROW) {
            if (sqlite3_column_type(FStatement, 0) == SQLITE_INTEGER)
                sum += sqlite3_column_int64(FStatement, 0);
            else
                ++sum;
        }
        if (rc != SQLITE_DONE) throw std::runtime_error("sqlite step failed");
        sqlite3_reset(FStatement);
        FBound = 0;
        return sum;
    }

private:
    sqlite3_stmt* FStatement = nullptr;
    int FBound = 0;
};

void TPeerDb::Insert(const std::string& table, const std::vector<TRowData>& rows) {
    Exec("BEGIN");
    {
        TPeerQuery q(*this, "INSERT INTO " + table + " (k, s16, s100, qty) VALUES (?, ?, ?, ?)");
        for (const TRowData& row : rows) {
            q.Int(row.K);
            q.Text(row.S16);
            q.Text(row.S100);
            q.Int(row.Qty);
            q.Run();
        }
    }
    Exec("COMMIT");
}

// ---- Measuring ----

struct TSizes {
    int32_t Main = 100000;
    std::vector<int32_t> Counts{1000, 10000, 100000, 1000000};
    std::vector<int32_t> Updates{100000, 1000000};
    int32_t Sort = 1000000;
    std::vector<int32_t> SelfJoins{50, 100, 200};
};

// Median of 3 runs of fn, each after prepare (not timed).
double Time3(const std::function<void()>& fn, const std::function<void()>& prepare = {}) {
    std::vector<double> t;
    for (int i = 0; i < 3; ++i) {
        if (prepare) prepare();
        TStopwatch w;
        fn();
        t.push_back(w.Seconds());
    }
    return Median(t);
}

std::string Thousands(int64_t n) {
    const std::string digits = std::to_string(n);
    std::string s;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) s += ',';
        s += digits[i];
    }
    return s;
}

std::string Power(int32_t n) {
    int e = 0;
    for (int32_t x = n; x >= 10 && x % 10 == 0; x /= 10) ++e;
    return "10^" + std::to_string(e);
}

void AddPair(TTable& table, const std::string& workload, double ours, double peer, const std::string& unit,
             const std::string& note, const std::string& peerName = "SQLite " SQLITE_VERSION) {
    TRow r;
    r.Section = "database";
    r.Workload = workload;
    r.Unit = unit;
    r.Ours = ours;
    r.Baseline = peer;
    r.HasBaseline = true;
    r.BaselineName = peerName;
    r.Note = note;
    table.Add(r);
    // Progress while the section runs (the table comes at the end).
    std::fprintf(stderr, "  database: %s: %.4g %s, peer %.4g %s\n", workload.c_str(), ours, unit.c_str(),
                 peer, unit.c_str());
}

// The workload's result must agree between the engines; a difference is a failure of
// the run, not a figure.
void Agree(TTable& table, const std::string& workload, int64_t ours, int64_t peer) {
    if (ours != peer)
        table.Fail("database", workload,
                   "results differ: ours " + std::to_string(ours) + ", SQLite " + std::to_string(peer));
}

// Starts this program again for one UPDATE run; returns its seconds and peak resident kB.
bool RunUpdateChild(const std::string& engine, const std::string& folder, const std::string& tableName,
                    double& seconds, double& peakKb) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    self[n] = 0;
    const TRunResult r = RunProgram({self, "--db-update-child", engine, folder, tableName}, {});
    return r.ExitCode == 0 && std::sscanf(r.Output.c_str(), "%lf %lf", &seconds, &peakKb) == 2;
}

double PeakResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6);
    return 0;
}

// What the workloads share: both databases in one scratch folder, the main table's rows
// and the sizes of this run.
struct TDbRun {
    TDbRun(TTable& table, const TSizes& sizes, bool quick, const std::string& folder)
        : Table(table),
          Sizes(sizes),
          Quick(quick),
          Folder(folder),
          Ours(std::make_unique<TOurDb>(folder)),
          Peer(folder + "/peer.sqlite"),
          Rows(MakeRows(sizes.Main)),
          N(Thousands(sizes.Main)) {}
    TTable& Table;
    const TSizes Sizes;
    const bool Quick;
    const std::string Folder;
    std::unique_ptr<TOurDb> Ours;
    TPeerDb Peer;
    const std::vector<TRowData> Rows;
    const std::string N;  // the main table's rows, written out
};

// Bulk insert in one transaction.
void BulkInsert(TDbRun& run) {
    const double byCursor =
        Time3([&] { run.Ours->InsertByCursor("t", run.Rows); }, [&] { run.Ours->CreateTable("t"); });
    const double bySql =
        Time3([&] { run.Ours->InsertBySql("t", run.Rows); }, [&] { run.Ours->CreateTable("t"); });
    const double sqlite = Time3([&] { run.Peer.Insert("t", run.Rows); }, [&] { run.Peer.CreateTable("t"); });
    AddPair(run.Table, "bulk insert " + run.N + " rows, cursor", byCursor, sqlite, "s",
            "one transaction, primary key + index on qty; SQLite prepared INSERT");
    AddPair(run.Table, "bulk insert " + run.N + " rows, SQL", bySql, sqlite, "s",
            "one prepared INSERT with parameters, one transaction");
}

// Point lookups by the primary key.
void PointLookups(TDbRun& run) {
    const size_t lookups = run.Quick ? 20000 : 100000;
    {
        const std::vector<int32_t> keys = RandomInts(lookups, 1, run.Sizes.Main, ProbeSeed);
        int64_t oursSum = 0, sqlSum = 0, peerSum = 0;
        auto c = run.Ours->Open("t");
        std::vector<uint8_t> probe(size_t(c->GetRecordSize())), found(size_t(c->GetRecordSize()));
        const double byCursor = Time3([&] {
            oursSum = 0;
            for (int32_t k : keys) {
                c->InitRecord(probe.data());
                c->PutField(1, probe.data(), &k);
                if (c->FindKey(probe.data(), false, found.data(), 0, false, 0)) {
                    bool blank = false;
                    int32_t q = 0;
                    c->GetField(4, found.data(), blank, &q);
                    oursSum += q;
                }
            }
        });
        c.reset();
        TOurQuery sq(*run.Ours, "SELECT qty, s16 FROM t WHERE k = ?");
        const double bySql = Time3([&] {
            sqlSum = 0;
            for (int32_t k : keys) {
                sq.Params().Int(k);
                sqlSum += sq.Run();
            }
        });
        TPeerQuery pq(run.Peer, "SELECT qty, s16 FROM t WHERE k = ?");
        const double sqlite = Time3([&] {
            peerSum = 0;
            for (int32_t k : keys) {
                pq.Int(k);
                peerSum += pq.Run();
            }
        });
        Agree(run.Table, "point lookups", oursSum, peerSum);
        Agree(run.Table, "point lookups, SQL", sqlSum, peerSum);
        const std::string w = Thousands(int64_t(lookups)) + " point lookups";
        AddPair(run.Table, w + ", cursor FindKey", byCursor, sqlite, "s", "random keys");
        AddPair(run.Table, w + ", SQL k = ?", bySql, sqlite, "s", "prepared SELECT qty, s16 ... WHERE k = ?");
    }
}

// Range scans of 100 rows.
void RangeScans(TDbRun& run) {
    const std::vector<int32_t> starts = RandomInts(1000, 1, run.Sizes.Main - 99, ProbeSeed + 1);
    int64_t oursSum = 0, sqlSum = 0, peerSum = 0;
    auto c = run.Ours->Open("t");
    std::vector<uint8_t> lo(size_t(c->GetRecordSize())), hi(lo.size()), r(lo.size());
    const double byCursor = Time3([&] {
        oursSum = 0;
        for (int32_t s : starts) {
            const int32_t e = s + 99;
            c->InitRecord(lo.data());
            c->PutField(1, lo.data(), &s);
            c->InitRecord(hi.data());
            c->PutField(1, hi.data(), &e);
            c->SetRange(false, lo.data(), 1, hi.data(), 1);
            c->First();
            while (c->GetNextRecord(r.data()) == 0) {
                bool blank = false;
                int32_t q = 0;
                c->GetField(4, r.data(), blank, &q);
                oursSum += q;
            }
        }
    });
    c.reset();
    TOurQuery sq(*run.Ours, "SELECT qty, s16 FROM t WHERE k BETWEEN ? AND ?");
    const double bySql = Time3([&] {
        sqlSum = 0;
        for (int32_t s : starts) {
            sq.Params().Int(s);
            sq.Params().Int(s + 99);
            sqlSum += sq.Run();
        }
    });
    TPeerQuery pq(run.Peer, "SELECT qty, s16 FROM t WHERE k BETWEEN ? AND ?");
    const double sqlite = Time3([&] {
        peerSum = 0;
        for (int32_t s : starts) {
            pq.Int(s);
            pq.Int(s + 99);
            peerSum += pq.Run();
        }
    });
    Agree(run.Table, "range scans", oursSum, peerSum);
    Agree(run.Table, "range scans, SQL", sqlSum, peerSum);
    AddPair(run.Table, "1,000 range scans of 100 rows, cursor", byCursor, sqlite, "s",
            "SetRange on the primary key; SQLite BETWEEN");
    AddPair(run.Table, "1,000 range scans of 100 rows, SQL", bySql, sqlite, "s",
            "prepared SELECT qty, s16 ... WHERE k BETWEEN ? AND ?");
}

// COUNT(*) answered from the secondary index.
void CountByIndex(TDbRun& run) {
    const std::vector<int32_t> qs = RandomInts(10000, 0, QtyValues - 1, ProbeSeed + 2);
    int64_t oursSum = 0, peerSum = 0;
    TOurQuery sq(*run.Ours, "SELECT COUNT(*) FROM t WHERE qty = ?");
    const double bySql = Time3([&] {
        oursSum = 0;
        for (int32_t q : qs) {
            sq.Params().Int(q);
            oursSum += sq.Run();
        }
    });
    TPeerQuery pq(run.Peer, "SELECT COUNT(*) FROM t WHERE qty = ?");
    const double sqlite = Time3([&] {
        peerSum = 0;
        for (int32_t q : qs) {
            pq.Int(q);
            peerSum += pq.Run();
        }
    });
    Agree(run.Table, "COUNT(*) WHERE qty = ?", oursSum, peerSum);
    AddPair(run.Table, "10,000 COUNT(*) WHERE qty = ?", bySql, sqlite, "s",
            "prepared, over " + run.N + " rows, index on qty");
}

// Join with a 1,000-row table, grouped and ordered.
void GroupedJoin(TDbRun& run) {
    run.Ours->DropIfExists("g");
    run.Ours->Exec("CREATE TABLE g (id INTEGER, name CHAR(16), PRIMARY KEY (id))");
    run.Peer.Exec("DROP TABLE IF EXISTS g");
    run.Peer.Exec("CREATE TABLE g (id INTEGER PRIMARY KEY, name TEXT)");
    {
        std::mt19937_64 rng(RowSeed + 1);
        std::vector<std::pair<int32_t, std::string>> groups;
        for (int32_t i = 0; i < QtyValues; ++i) groups.emplace_back(i, RandomText(rng, 16));
        auto c = run.Ours->Open("g");
        std::vector<uint8_t> r(size_t(c->GetRecordSize()));
        run.Peer.Exec("BEGIN");
        TPeerQuery pi(run.Peer, "INSERT INTO g VALUES (?, ?)");
        for (const auto& [id, name] : groups) {
            c->InitRecord(r.data());
            c->PutField(1, r.data(), &id);
            c->PutField(2, r.data(), name.c_str());
            c->InsertRecord(r.data(), false);
            pi.Int(id);
            pi.Text(name);
            pi.Run();
        }
        run.Peer.Exec("COMMIT");
    }
    const std::string text =
        "SELECT COUNT(*), g.name, SUM(t.k) FROM t, g WHERE t.qty = g.id GROUP BY g.name ORDER BY "
        "g.name";
    int64_t oursSum = 0, peerSum = 0;
    TOurQuery sq(*run.Ours, text);
    const double bySql = Time3([&] { oursSum = sq.Run(); });
    TPeerQuery pq(run.Peer, text);
    const double sqlite = Time3([&] { peerSum = pq.Run(); });
    Agree(run.Table, "join", oursSum, peerSum);
    AddPair(run.Table, "join " + run.N + " x 1,000, GROUP BY, ORDER BY", bySql, sqlite, "s",
            "t.qty = g.id, 1,000 groups: COUNT(*), SUM(t.k), ordered by name");
}

// COUNT(*) with an index-answerable WHERE as the table grows.
void CountsAsTheTableGrows(TDbRun& run) {
    for (int32_t size : run.Sizes.Counts) {
        const std::string name = "c" + std::to_string(size);
        const std::vector<TRowData> data = MakeRows(size);
        run.Ours->CreateTable(name);
        run.Ours->InsertByCursor(name, data);
        run.Peer.CreateTable(name);
        run.Peer.Insert(name, data);
        const std::vector<int32_t> qs = RandomInts(100, 0, QtyValues - 100, ProbeSeed + 3);
        {
            const std::string text = "SELECT COUNT(*) FROM " + name + " WHERE qty BETWEEN ? AND ?";
            int64_t oursSum = 0, peerSum = 0;
            TOurQuery sq(*run.Ours, text);
            const double bySql = Time3([&] {
                oursSum = 0;
                for (int32_t q : qs) {
                    sq.Params().Int(q);
                    sq.Params().Int(q + 99);
                    oursSum += sq.Run();
                }
            });
            TPeerQuery pq(run.Peer, text);
            const double sqlite = Time3([&] {
                peerSum = 0;
                for (int32_t q : qs) {
                    pq.Int(q);
                    pq.Int(q + 99);
                    peerSum += pq.Run();
                }
            });
            Agree(run.Table, "COUNT(*) at " + Power(size), oursSum, peerSum);
            AddPair(run.Table, "COUNT(*) WHERE qty BETWEEN, " + Power(size) + " rows", bySql / 100 * 1e6,
                    sqlite / 100 * 1e6, "us", "per statement, 10% of the rows match, index on qty");
        }
        if (size != run.Sizes.Sort &&
            std::find(run.Sizes.Updates.begin(), run.Sizes.Updates.end(), size) == run.Sizes.Updates.end()) {
            run.Ours->DropIfExists(name);
            run.Peer.Exec("DROP TABLE " + name);
        }
    }
}

// UPDATE of every row, each run in a child process with its peak memory. The parent's
// handles stay closed meanwhile.
void UpdateEveryRow(TDbRun& run) {
    run.Ours.reset();
    for (int32_t size : run.Sizes.Updates) {
        const std::string name = "c" + std::to_string(size);
        std::vector<double> oursTime, oursPeak, peerTime, peerPeak;
        bool ok = true;
        for (int i = 0; i < 3 && ok; ++i) {
            double s = 0, kb = 0;
            ok = RunUpdateChild("ours", run.Folder, name, s, kb);
            oursTime.push_back(s);
            oursPeak.push_back(kb);
            ok = ok && RunUpdateChild("sqlite", run.Folder, name, s, kb);
            peerTime.push_back(s);
            peerPeak.push_back(kb);
        }
        if (!ok) {
            run.Table.Fail("database", "UPDATE at " + Power(size), "the child run failed");
            continue;
        }
        AddPair(run.Table, "UPDATE every row, " + Power(size) + " rows: time", Median(oursTime),
                Median(peerTime), "s", "SET qty = qty + 1 (indexed), own transaction, child process");
        AddPair(run.Table, "UPDATE every row, " + Power(size) + " rows: peak memory", Median(oursPeak) / 1024,
                Median(peerPeak) / 1024, "MB", "VmHWM of the child process that ran it");
    }
    run.Ours = std::make_unique<TOurDb>(run.Folder);
}

// ORDER BY on a column without index, beside sort(1) on the same bytes.
void OrderByWithoutIndex(TDbRun& run) {
    const std::string name = "c" + std::to_string(run.Sizes.Sort);
    const std::string text = "SELECT s16 FROM " + name + " ORDER BY s16";
    int64_t oursRows = 0, peerRows = 0;
    TOurQuery sq(*run.Ours, text);
    const double bySql = Time3([&] { oursRows = sq.Run(); });
    TPeerQuery pq(run.Peer, text);
    const double sqlite = Time3([&] { peerRows = pq.Run(); });
    Agree(run.Table, "ORDER BY", oursRows, peerRows);
    const std::string lines = run.Folder + "/s16.txt", sorted = run.Folder + "/s16.sorted";
    {
        std::ofstream out(lines, std::ios::binary);
        for (const TRowData& r : MakeRows(run.Sizes.Sort)) out << r.S16 << '\n';
    }
    bool sortOk = true;
    const double bySort = Time3([&] {
        const TRunResult r = RunProgram({"/usr/bin/sort", "-o", sorted, lines}, {"LC_ALL=C"});
        sortOk = sortOk && r.ExitCode == 0;
    });
    const std::string w = "ORDER BY s16 (no index), " + Power(run.Sizes.Sort) + " rows";
    if (sortOk)
        AddPair(run.Table, w, bySql, bySort, "s",
                "result read through; sort(1) on the column as lines, LC_ALL=C", "sort(1)");
    else
        run.Table.Fail("database", w, "sort(1) failed");
    AddPair(run.Table, w + ", SQLite", bySql, sqlite, "s", "result read through");
}

// A DISTINCT over a three-way self-join on a column without index, every row holding the
// same value: each engine joins n^3 row combinations for one result row.
void JoinsWithoutIndex(TDbRun& run) {
    for (int32_t size : run.Sizes.SelfJoins) {
        const std::string name = "j" + std::to_string(size);
        run.Ours->DropIfExists(name);
        run.Ours->Exec("CREATE TABLE " + name + " (id INTEGER, s CHAR(16))");
        run.Peer.Exec("DROP TABLE IF EXISTS " + name);
        run.Peer.Exec("CREATE TABLE " + name + " (id INTEGER, s TEXT)");
        {
            auto c = run.Ours->Open(name);
            std::vector<uint8_t> r(size_t(c->GetRecordSize()));
            run.Peer.Exec("BEGIN");
            TPeerQuery pi(run.Peer, "INSERT INTO " + name + " VALUES (?, ?)");
            for (int32_t id = 0; id < size; ++id) {
                c->InitRecord(r.data());
                c->PutField(1, r.data(), &id);
                c->PutField(2, r.data(), "same");
                c->InsertRecord(r.data(), false);
                pi.Int(id);
                pi.Text("same");
                pi.Run();
            }
            run.Peer.Exec("COMMIT");
        }
        const std::string text = "SELECT DISTINCT x1.s FROM " + name + " x1 JOIN " + name + " x2 ON x1.s = x2.s JOIN " +
                                 name + " x3 ON x2.s = x3.s";
        int64_t oursRows = 0, peerRows = 0;
        double bySql = 0, sqlite = 0;
        {
            // The statements go before their tables are dropped.
            TOurQuery sq(*run.Ours, text);
            bySql = Time3([&] { oursRows = sq.Run(); });
            TPeerQuery pq(run.Peer, text);
            sqlite = Time3([&] { peerRows = pq.Run(); });
        }
        Agree(run.Table, "joins without an index, " + std::to_string(size) + " rows", oursRows, peerRows);
        AddPair(run.Table, "joins without an index, " + std::to_string(size) + " rows", bySql, sqlite, "s",
                "SELECT DISTINCT x1.s over x1 JOIN x2 JOIN x3 ON s = s, one value of s");
        run.Ours->DropIfExists(name);
        run.Peer.Exec("DROP TABLE " + name);
    }
}

// The workloads in the order they run (later ones use the tables earlier ones leave).
const std::vector<std::pair<const char*, void (*)(TDbRun&)>>& Workloads() {
    static const std::vector<std::pair<const char*, void (*)(TDbRun&)>> workloads = {
        {"bulk insert", BulkInsert},
        {"point lookups", PointLookups},
        {"range scans", RangeScans},
        {"COUNT(*) by index", CountByIndex},
        {"join", GroupedJoin},
        {"COUNT(*) as the table grows", CountsAsTheTableGrows},
        {"UPDATE every row", UpdateEveryRow},
        {"ORDER BY without index", OrderByWithoutIndex},
        {"joins without an index", JoinsWithoutIndex},
    };
    return workloads;
}

}  // namespace

// The child's side: one UPDATE of every row of the table, its time and this process's
// peak resident memory on standard output.
int DbUpdateChild(int argc, char** argv) {
    if (argc < 5) return 2;
    const std::string engine = argv[2], folder = argv[3], tableName = argv[4];
    const std::string text = "UPDATE " + tableName + " SET qty = qty + 1";
    double seconds = 0;
    try {
        if (engine == "ours") {
            InitializeLibrary();
            {
                TOurDb db(folder);
                TStopwatch w;
                db.Exec(text);
                seconds = w.Seconds();
            }
            FinalizeLibrary();
        } else {
            TPeerDb db(folder + "/peer.sqlite");
            TStopwatch w;
            db.Exec(text);
            seconds = w.Seconds();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%.6f %.0f\n", seconds, PeakResidentKb());
    return 0;
}

void DbWorkloads(TTable& table, bool quick) {
    TSizes sizes;
    if (quick) {
        sizes.Main = 20000;
        sizes.Counts = {1000, 10000, 100000};
        sizes.Updates = {10000, 100000};
        sizes.Sort = 100000;
        sizes.SelfJoins = {25, 50};
    }
    TScratch scratch;
    InitializeLibrary();
    const char* current = "section";
    try {
        TDbRun run(table, sizes, quick, scratch.Path());
        for (const auto& [name, workload] : Workloads()) {
            current = name;
            workload(run);
        }
        run.Ours.reset();
    } catch (const std::exception& e) {
        table.Fail("database", current, e.what());
    }
    FinalizeLibrary();
}

}  // namespace bench
