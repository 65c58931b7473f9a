// Multi-process reliability run of the table engine. Worker processes share one table (a
// primary key, a non-unique secondary index and a BLOB column) through the engine's own
// locking with the session's default retry settings, each doing mixed inserts, updates,
// deletes and reads in transactions of random size. Every worker has its own key range
// (worker * 1,000,000 + n) and logs in a file of its own every transaction it committed;
// all of them also bump the counters of a few shared rows, so that record locks and lost
// updates matter. Afterwards the table's files are checked (tools/table_check), every lock
// range must be free, the folder must hold only the table's files, and the rows must be
// exactly what the logs say.
//
// With --kill-rounds R the run is repeated R times on a fresh table, some workers dying of
// SIGKILL at random moments and some at a chosen file write inside their commit (or right
// after it); survivors go on. The figures say how often a kill inside a commit left the
// table in a state the check flags, and what the engine does when the table is opened
// next.
//
//   table_stress [--procs N] [--ops M] [--seed S] [--kill-rounds R] [--dir PATH] [--keep]
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/engine/DataCursor.h"
#include "db/engine/DataDirectory.h"
#include "db/engine/DataSession.h"
#include "db/engine/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "db/storage/Library.h"
#include "platform/rtl/ByteCodec.h"
#include "tests/support/FieldDescriptors.h"
#include "tools/table_check/TableCheck.h"
#include "tools/tool_options/ToolOptions.h"

namespace {

constexpr const char* TableName = "STRESS";
constexpr int32_t KeySpan = 1000000;
constexpr int32_t SharedRows = 8;
constexpr int32_t GroupCount = 40;
constexpr uint32_t MaxBlobLength = 900;
constexpr int32_t MaxTransactionOps = 8;
// Field numbers.
constexpr int32_t FId = 1, FGroup = 2, FVersion = 3, FData = 4;

struct TOptions {
    int32_t Procs = 8;
    int32_t Ops = 10000;
    uint32_t Seed = 1;
    int32_t KillRounds = 0;
    std::string Dir;
    bool Keep = false;
};

// What a worker tells the parent through shared memory: its figures, and where it stood
// when it died.
enum TPhase : int32_t { phIdle, phTransaction, phCommit, phCommitted };
struct TSlot {
    int32_t Phase;
    int32_t Ops;
    int32_t Committed;
    int32_t RolledBack;
    int32_t RecordConflicts;    // 10258
    int32_t FileConflicts;      // 10249
    int32_t Rereads;            // 8708 on a locking read outside a transaction
    int32_t CommitWrites;       // file writes of the commit under way
    int32_t OutsideWrites;      // file writes outside any commit
    int32_t ArmedCommit;        // commit number that kills itself (0: none)
    int32_t ArmedWrite;         // at this write of it (past the last: after it)
    int32_t CommitWritesTotal;  // file writes of all completed commits
    int32_t ErrorCode;          // the engine error that stopped the worker
    char Error[200];
};

// ---- Row values --------------------------------------------------------------------------

uint32_t Mix(uint32_t a, uint32_t b) {
    uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u + (a << 6) + (a >> 2));
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

std::string GroupOf(int32_t key, int32_t version) {
    return "g" + std::to_string(Mix(uint32_t(key), uint32_t(version)) % GroupCount);
}

std::vector<uint8_t> BlobOf(int32_t key, int32_t version) {
    const uint32_t h = Mix(uint32_t(version), uint32_t(key));
    std::vector<uint8_t> b(h % MaxBlobLength);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(Mix(h, uint32_t(i)) >> 3);
    return b;
}

struct TRow {
    std::string Group;
    int32_t Version = 0;
    bool operator==(const TRow&) const = default;
};
using TRows = std::map<int32_t, TRow>;

// ---- Table access ------------------------------------------------------------------------

std::vector<uint8_t> NewRecord(TDataCursor& c) {
    std::vector<uint8_t> r(size_t(c.GetRecordSize()));
    c.InitRecord(r.data());
    return r;
}

void PutInt(TDataCursor& c, std::vector<uint8_t>& r, int32_t field, int32_t v) {
    uint8_t b[8];
    bytes::PutI32(b, v);
    c.PutField(field, r.data(), b);
}

int32_t GetInt(TDataCursor& c, const std::vector<uint8_t>& r, int32_t field) {
    uint8_t b[256];
    bool blank;
    c.GetField(field, r.data(), blank, b);
    return bytes::GetI32(b);
}

std::string GetStr(TDataCursor& c, const std::vector<uint8_t>& r, int32_t field) {
    char b[256];
    bool blank;
    c.GetField(field, r.data(), blank, b);
    return blank ? std::string() : std::string(b);
}

void Check(uint16_t code) {
    if (code != 0) RaiseEngineError(code);
}

// The row's values and BLOB into the record (its BLOB field written anew).
void Fill(TDataCursor& c, std::vector<uint8_t>& r, int32_t key, int32_t version) {
    PutInt(c, r, FId, key);
    const std::string g = GroupOf(key, version);
    c.PutField(FGroup, r.data(), g.c_str());
    PutInt(c, r, FVersion, version);
    const std::vector<uint8_t> blob = BlobOf(key, version);
    Check(c.OpenBlob(FData, r.data(), 0, false, bmReadWrite));
    Check(c.TruncateBlob(FData, r.data(), false, 0));
    if (!blob.empty()) Check(c.PutBlob(FData, r.data(), false, uint32_t(blob.size()), blob.data(), 0));
}

std::vector<uint8_t> ReadBlob(TDataCursor& c, std::vector<uint8_t>& r) {
    Check(c.OpenBlob(FData, r.data(), EngineBlobTag, false, bmRead));
    uint32_t size = 0, count = 0;
    Check(c.GetBlobSize(FData, r.data(), false, size));
    std::vector<uint8_t> b(size);
    if (size) Check(c.GetBlob(FData, r.data(), false, count, size, b.data(), 0));
    c.FreeBlob(FData, r.data(), EngineBlobTag, false);
    return b;
}

// A row read back: its values must belong together (group and BLOB made from key and
// version); empty text when they do.
std::string Inconsistency(TDataCursor& c, std::vector<uint8_t>& r) {
    const int32_t key = GetInt(c, r, FId), version = GetInt(c, r, FVersion);
    if (GetStr(c, r, FGroup) != GroupOf(key, version))
        return "row " + std::to_string(key) + " has group " + GetStr(c, r, FGroup) + " for version " +
               std::to_string(version);
    if (ReadBlob(c, r) != BlobOf(key, version))
        return "row " + std::to_string(key) + " has a BLOB not of its version " + std::to_string(version);
    return "";
}

bool Seek(TDataCursor& c, int32_t key, std::vector<uint8_t>& r) {
    std::vector<uint8_t> probe = NewRecord(c);
    PutInt(c, probe, FId, key);
    r.assign(size_t(c.GetRecordSize()), 0);
    return c.FindKey(probe.data(), false, r.data(), 0, false, 0);
}

void CreateTable(const std::string& folder) {
    TDataSession session;
    TDataCursor c(session.OpenDirectory("db", folder));
    c.SetTableName(TableName);
    c.SetExclusive(true);
    TIndexDescriptor primary, byGroup;
    primary.Unique = 1;
    primary.FieldCount = 1;
    primary.FieldNumbers[0] = FId;
    byGroup.Name = "ByGroup";
    byGroup.FieldCount = 1;
    byGroup.FieldNumbers[0] = FGroup;
    TCreateTableOptions options;
    options.Overwrite = true;
    options.BlobBlockSize = 128;  // small blocks: most BLOBs take a chain of several
    c.CreateTable({MakeField(FId, "ID", dtInteger), MakeField(FGroup, "GRP", dtString, 8),
                   MakeField(FVersion, "VER", dtInteger), MakeField(FData, "DATA", dtBlob)},
                  {primary, byGroup}, options);
    c.SetExclusive(false);
    c.Open();
    for (int32_t s = 1; s <= SharedRows; ++s) {
        std::vector<uint8_t> r = NewRecord(c);
        Fill(c, r, s, 0);
        c.InsertRecord(r.data());
    }
    c.Close();
}

// ---- Kill points -------------------------------------------------------------------------

TSlot* KillSlot = nullptr;
int32_t CommitNo = 0;

// A disk file that counts the worker's writes, and kills the worker at the armed write of
// the armed commit.
class TKillPointFile : public TPhysicalFile {
public:
    int32_t Write(int32_t id, const void* buffer, int32_t count) override {
        if (KillSlot && count > 0) {
            if (KillSlot->Phase == phCommit) {
                const int32_t n = ++KillSlot->CommitWrites;
                if (KillSlot->ArmedCommit == CommitNo && n == KillSlot->ArmedWrite) ::raise(SIGKILL);
            } else {
                ++KillSlot->OutsideWrites;
            }
        }
        return TPhysicalFile::Write(id, buffer, count);
    }
};

// ---- Worker ------------------------------------------------------------------------------

class TWorker {
public:
    TWorker(const TOptions& o, int32_t no, const std::string& folder, const std::string& logName, TSlot* slot,
            uint32_t seed)
        : O(o), No(no), Folder(folder), Slot(slot), Rng(seed) {
        Log = ::open(logName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    ~TWorker() { ::close(Log); }

    int Run() {
        TDataSession session;
        TDataDirectory* dir = session.OpenDirectory("db", Folder);
        TDataCursor c(dir);
        c.SetTableName(TableName);
        c.Open();
        C = &c;
        int32_t txn = 0;
        while (Slot->Ops < O.Ops) {
            Pending = Rows;
            Ops.clear();
            Slot->Phase = phTransaction;
            try {
                if (Chance(30)) LockingRead();
                dir->StartTransaction();
                const int32_t size = Pick(1, MaxTransactionOps);
                for (int32_t k = 0; k < size && Slot->Ops < O.Ops; ++k, ++Slot->Ops) Step();
                ++txn;
                std::string text = "P " + std::to_string(txn) + " " + std::to_string(Ops.size()) + "\n";
                for (const std::string& op : Ops) text += op + "\n";
                Append(text);
                ++CommitNo;
                Slot->CommitWrites = 0;
                Slot->Phase = phCommit;
                dir->Commit(true);
                Slot->Phase = phCommitted;
                Slot->CommitWritesTotal += Slot->CommitWrites;
                if (Slot->ArmedCommit == CommitNo) ::raise(SIGKILL);
                Append("C " + std::to_string(txn) + "\n");
                Rows = Pending;
                ++Slot->Committed;
                Slot->Phase = phIdle;
            } catch (const EZIZIVUEngineError& e) {
                const uint16_t code = e.ErrorCode();
                if (Slot->Phase == phCommit || (code != ZIZIVU_RECLOCKFAILED && code != ZIZIVU_LOCKFAILED))
                    return Fail(code, std::string(Slot->Phase == phCommit ? "commit: " : "") + e.Message());
                ++(code == ZIZIVU_RECLOCKFAILED ? Slot->RecordConflicts : Slot->FileConflicts);
                try {
                    c.FreeBlobBuffers(true);
                    if (dir->InTransaction()) dir->Rollback();
                } catch (const EZIZIVUEngineError& r) {
                    return Fail(r.ErrorCode(), "rollback: " + r.Message());
                }
                ++Slot->RolledBack;
                Slot->Phase = phIdle;
            } catch (const std::exception& e) {
                return Fail(0, e.what());
            }
        }
        c.Close();
        return 0;
    }

private:
    bool Chance(int32_t percent) { return Pick(1, 100) <= percent; }
    int32_t Pick(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(Rng); }

    void Append(const std::string& text) {
        if (::write(Log, text.data(), text.size()) != ssize_t(text.size()))
            throw std::runtime_error("log write");
    }

    int Fail(uint16_t code, const std::string& text) {
        Slot->ErrorCode = code;
        std::snprintf(Slot->Error, sizeof Slot->Error, "%s", text.c_str());
        std::fprintf(stderr, "worker %d: %s (%u)\n", No, text.c_str(), unsigned(code));
        return 3;
    }
    void Mismatch(const std::string& text) {
        throw std::runtime_error("worker " + std::to_string(No) + ": " + text);
    }

    int32_t OwnKey() {
        auto it = Pending.begin();
        std::advance(it, Pick(0, int32_t(Pending.size()) - 1));
        return it->first;
    }

    // Finds the row and checks it against what this worker knows of it.
    std::vector<uint8_t> Find(int32_t key, bool own) {
        std::vector<uint8_t> r;
        if (!Seek(*C, key, r)) Mismatch("row " + std::to_string(key) + " not found");
        const std::string bad = Inconsistency(*C, r);
        if (!bad.empty()) Mismatch(bad);
        if (own &&
            (GetStr(*C, r, FGroup) != Pending[key].Group || GetInt(*C, r, FVersion) != Pending[key].Version))
            Mismatch("row " + std::to_string(key) + " is not as this worker left it");
        return r;
    }

    void Step() {
        const int32_t roll = Pick(1, 100);
        if (roll <= 30 || Pending.empty()) {
            const int32_t key = (No + 1) * KeySpan + NextKey++;
            std::vector<uint8_t> r = NewRecord(*C);
            Fill(*C, r, key, 1);
            C->InsertRecord(r.data());
            Pending[key] = {GroupOf(key, 1), 1};
            Ops.push_back("I " + std::to_string(key) + " 1");
        } else if (roll <= 55) {
            const int32_t key = OwnKey();
            std::vector<uint8_t> r = Find(key, true);
            Check(C->GetCurrentRecord(r.data(), true));
            const int32_t version = Pending[key].Version + 1;
            Fill(*C, r, key, version);
            C->ModifyRecord(r.data());
            Pending[key] = {GroupOf(key, version), version};
            Ops.push_back("U " + std::to_string(key) + " " + std::to_string(version));
        } else if (roll <= 65) {
            const int32_t key = OwnKey();
            std::vector<uint8_t> r = Find(key, true);
            Check(C->GetCurrentRecord(r.data(), true));
            C->DeleteRecord();
            Pending.erase(key);
            Ops.push_back("D " + std::to_string(key));
        } else if (roll <= 80) {
            Find(OwnKey(), true);
        } else if (roll <= 90) {
            const int32_t key = Pick(1, SharedRows);
            std::vector<uint8_t> r = Find(key, false);
            Check(C->GetCurrentRecord(r.data(), true));
            const int32_t version = GetInt(*C, r, FVersion) + 1;
            Fill(*C, r, key, version);
            C->ModifyRecord(r.data());
            Ops.push_back("S " + std::to_string(key));
        } else {
            GroupWalk();
        }
    }

    // A few rows of any worker in the secondary index's order, each whole.
    void GroupWalk() {
        C->SwitchToIndex("ByGroup");
        std::vector<uint8_t> probe = NewRecord(*C);
        const std::string g = "g" + std::to_string(Pick(0, GroupCount - 1));
        C->PutField(FGroup, probe.data(), g.c_str());
        std::vector<uint8_t> r(size_t(C->GetRecordSize()));
        C->FindKey(probe.data(), false, r.data(), 0, true, 1);
        std::string last;
        for (int32_t i = 0; i < 4 && C->GetCurrentRecord(r.data(), false) == 0; ++i) {
            const std::string bad = Inconsistency(*C, r);
            if (!bad.empty()) Mismatch(bad);
            const std::string group = GetStr(*C, r, FGroup);
            if (group < last) Mismatch("group order broken at " + group);
            last = group;
            if (C->GetNextRecord(r.data()) != 0) break;
        }
        C->SwitchToIndexNumber(0);
    }

    // Outside a transaction: a shared row read under its record lock, then released. What
    // the cursor holds unlocked may be stale (changes are seen at cache misses and locks):
    // a lock that finds the row changed says so (8708), and the row is read again.
    void LockingRead() {
        const int32_t key = Pick(1, SharedRows);
        std::vector<uint8_t> r;
        for (int32_t attempt = 1;; ++attempt) {
            if (!Seek(*C, key, r)) Mismatch("row " + std::to_string(key) + " not found");
            try {
                Check(C->GetCurrentRecord(r.data(), true));
                break;
            } catch (const EZIZIVUEngineError& e) {
                if (e.ErrorCode() != ZIZIVU_RECCHANGED || attempt == 5) throw;
                ++Slot->Rereads;
            }
        }
        const std::string bad = Inconsistency(*C, r);
        C->UnlockRecord(0);
        if (!bad.empty()) Mismatch(bad);
    }

    const TOptions& O;
    int32_t No;
    std::string Folder;
    TSlot* Slot;
    std::mt19937 Rng;
    int Log = -1;
    TDataCursor* C = nullptr;
    TRows Rows, Pending;
    std::vector<std::string> Ops;
    int32_t NextKey = 0;
};

// ---- Logs and the expected rows ----------------------------------------------------------

struct TTransaction {
    std::vector<std::string> Ops;
};
struct TWorkerLog {
    std::vector<TTransaction> Committed;
    std::optional<TTransaction> InDoubt;  // prepared, commit not confirmed
};

TWorkerLog ReadLog(const std::string& name) {
    TWorkerLog log;
    std::ifstream in(name);
    std::string line;
    std::optional<TTransaction> open;
    int32_t left = 0;
    while (std::getline(in, line)) {
        if (left > 0) {
            open->Ops.push_back(line);
            --left;
        } else if (line.rfind("P ", 0) == 0) {
            std::istringstream s(line.substr(2));
            int32_t txn;
            s >> txn >> left;
            open = TTransaction{};
        } else if (line.rfind("C ", 0) == 0 && open) {
            log.Committed.push_back(*open);
            open.reset();
        }
    }
    log.InDoubt = open;
    return log;
}

void Apply(const TTransaction& t, TRows& rows) {
    for (const std::string& op : t.Ops) {
        std::istringstream s(op);
        char kind;
        int32_t key, version = 0;
        s >> kind >> key >> version;
        if (kind == 'I' || kind == 'U')
            rows[key] = {GroupOf(key, version), version};
        else if (kind == 'D')
            rows.erase(key);
        else if (kind == 'S')
            ++rows[key].Version;
    }
}

// The shared rows' groups follow their versions.
void SettleShared(TRows& rows) {
    for (int32_t s = 1; s <= SharedRows; ++s) rows[s].Group = GroupOf(s, rows[s].Version);
}

// ---- What the table holds, read through the engine ---------------------------------------

struct TTableRead {
    bool Opened = false;
    uint16_t OpenCode = 0;
    uint16_t WalkCode = 0;
    uint16_t WriteCode = 0;
    int32_t RepairLines = 0;
    TRows Rows;
    std::vector<std::string> Problems;
};

// Opens the table as a new user would, walks it in key order and, when asked, tries one
// change (a row inserted and deleted again).
TTableRead ReadTable(const std::string& folder, bool tryWrite) {
    TTableRead t;
    TDataSession session;
    TDataCursor c(session.OpenDirectory("db", folder));
    c.SetTableName(TableName);
    c.OnRepairLog = [&](const std::string&) { ++t.RepairLines; };
    try {
        c.Open();
        t.Opened = true;
    } catch (const EZIZIVUEngineError& e) {
        t.OpenCode = e.ErrorCode();
        return t;
    }
    try {
        std::vector<uint8_t> r(size_t(c.GetRecordSize()));
        c.First();
        while (c.GetNextRecord(r.data()) == 0) {
            const int32_t key = GetInt(c, r, FId);
            const std::string bad = Inconsistency(c, r);
            if (!bad.empty()) t.Problems.push_back(bad);
            if (t.Rows.count(key)) t.Problems.push_back("row " + std::to_string(key) + " seen twice");
            t.Rows[key] = {GetStr(c, r, FGroup), GetInt(c, r, FVersion)};
        }
    } catch (const EZIZIVUEngineError& e) {
        t.WalkCode = e.ErrorCode();
    }
    if (tryWrite) {
        try {
            std::vector<uint8_t> r = NewRecord(c);
            Fill(c, r, 999999999, 1);
            c.InsertRecord(r.data());
            if (!Seek(c, 999999999, r)) throw std::runtime_error("probe row not found");
            c.DeleteRecord();
        } catch (const EZIZIVUEngineError& e) {
            t.WriteCode = e.ErrorCode();
        }
    }
    try {
        c.Close();
    } catch (const EZIZIVUEngineError&) {
    }
    return t;
}

std::string DescribeDifference(const TRows& want, const TRows& have) {
    int32_t missing = 0, extra = 0, differ = 0;
    std::string first;
    for (const auto& [k, v] : want) {
        auto it = have.find(k);
        if (it == have.end()) {
            if (!missing++ && first.empty()) first = "row " + std::to_string(k) + " missing";
        } else if (!(it->second == v)) {
            if (!differ++ && first.empty())
                first = "row " + std::to_string(k) + " has version " + std::to_string(it->second.Version) +
                        ", committed " + std::to_string(v.Version);
        }
    }
    for (const auto& [k, v] : have)
        if (!want.count(k) && !extra++ && first.empty())
            first = "row " + std::to_string(k) + " not committed";
    return std::to_string(missing) + " missing, " + std::to_string(extra) + " extra, " +
           std::to_string(differ) + " with other values (" + first + ")";
}

// ---- One run -----------------------------------------------------------------------------

struct TRunResult {
    bool Passed = true;
    std::vector<std::string> Failures;
    int32_t Committed = 0, RolledBack = 0, RecordConflicts = 0, FileConflicts = 0, Ops = 0, Rereads = 0;
    // Kill figures.
    int32_t Killed = 0, KilledInCommit = 0, KilledAfterCommit = 0, KilledElsewhere = 0;
    bool Flagged = false;
    bool CommitKill = false;
    // The write of its commit each kill inside a commit stopped at (it did not happen).
    std::vector<int32_t> KillWrites;
    std::string CheckText;
    TTableRead Next;
    int32_t SurvivorFailures = 0;
    std::string SurvivorError;
    int32_t OutsideWrites = 0;
    int32_t CommitWritesTotal = 0;
    bool RowsMatch = false;
    TTableCheckReport Check;
    // Anything a torn commit may have left: damage the check finds, rows that are not the
    // committed ones, a table that cannot be walked, survivors that failed.
    bool Torn() const {
        return Flagged || !RowsMatch || !Next.Opened || Next.WalkCode != 0 || !Next.Problems.empty() ||
               SurvivorFailures > 0;
    }
};

// What kills a round plans: none; SIGKILLs from the parent at random moments to about
// half of the workers; or one worker dying at a chosen write of one of its commits.
enum TKillPlan { kpNone, kpRandom, kpCommit };

TRunResult RunOnce(const TOptions& o, const std::string& folder, const std::string& logs, uint32_t seed,
                   TKillPlan plan) {
    TRunResult res;
    InitializeLibrary();
    CreateTable(folder);
    FinalizeLibrary();
    auto* slots = static_cast<TSlot*>(::mmap(nullptr, sizeof(TSlot) * size_t(o.Procs), PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::memset(slots, 0, sizeof(TSlot) * size_t(o.Procs));
    std::mt19937 rng(seed);
    std::vector<pid_t> pids(size_t(o.Procs));
    std::vector<std::chrono::steady_clock::time_point> killAt(size_t(o.Procs));
    const auto start = std::chrono::steady_clock::now();
    const int32_t victim = std::uniform_int_distribution<int32_t>(0, o.Procs - 1)(rng);
    const int32_t span = std::max(100, o.Ops * 4);  // ms: about a worker's run
    for (int32_t p = 0; p < o.Procs; ++p) {
        TSlot* slot = &slots[p];
        killAt[size_t(p)] = {};
        if (plan == kpCommit && p == victim) {
            // Dies at a chosen write of one of its first commits (after the commit when it
            // has fewer writes).
            slot->ArmedCommit = std::uniform_int_distribution<int32_t>(1, std::clamp(o.Ops / 8, 1, 20))(rng);
            slot->ArmedWrite = std::uniform_int_distribution<int32_t>(1, 16)(rng);
        } else if (plan == kpRandom && std::uniform_int_distribution<int32_t>(0, 1)(rng)) {
            killAt[size_t(p)] =
                start + std::chrono::milliseconds(std::uniform_int_distribution<int32_t>(20, span)(rng));
        }
        const std::string logName = logs + "/worker-" + std::to_string(p) + ".log";
        std::filesystem::remove(logName);
        const uint32_t workerSeed = seed * 7919u + uint32_t(p);
        pids[size_t(p)] = ::fork();
        if (pids[size_t(p)] == 0) {
            InitializeLibrary();
            KillSlot = slot;
            GlobalFileList()->SetFileFactory([](const std::string&, bool inMemory) -> TAbstractFile* {
                return inMemory ? nullptr : new TKillPointFile;
            });
            int status;
            {
                TWorker w(o, p, folder, logName, slot, workerSeed);
                status = w.Run();
            }
            FinalizeLibrary();
            ::_exit(status);
        }
    }
    std::vector<int> status(size_t(o.Procs), -1);
    std::vector<bool> done(size_t(o.Procs), false);
    for (int32_t left = o.Procs; left > 0;) {
        for (int32_t p = 0; p < o.Procs; ++p) {
            if (done[size_t(p)]) continue;
            int st;
            if (::waitpid(pids[size_t(p)], &st, WNOHANG) == pids[size_t(p)]) {
                done[size_t(p)] = true;
                status[size_t(p)] = st;
                --left;
            } else if (killAt[size_t(p)] != std::chrono::steady_clock::time_point{} &&
                       std::chrono::steady_clock::now() >= killAt[size_t(p)]) {
                ::kill(pids[size_t(p)], SIGKILL);
                killAt[size_t(p)] = {};
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::vector<TWorkerLog> logsRead;
    for (int32_t p = 0; p < o.Procs; ++p) {
        const TSlot& s = slots[p];
        res.Committed += s.Committed;
        res.RolledBack += s.RolledBack;
        res.RecordConflicts += s.RecordConflicts;
        res.FileConflicts += s.FileConflicts;
        res.Rereads += s.Rereads;
        res.Ops += s.Ops;
        res.OutsideWrites += s.OutsideWrites;
        res.CommitWritesTotal += s.CommitWritesTotal;
        const int st = status[size_t(p)];
        if (WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) {
            ++res.Killed;
            if (s.Phase == phCommit) {
                ++res.KilledInCommit;
                res.CommitKill = true;
                res.KillWrites.push_back(s.CommitWrites + (s.ArmedCommit ? 0 : 1));
            } else if (s.Phase == phCommitted) {
                ++res.KilledAfterCommit;
            } else {
                ++res.KilledElsewhere;
            }
        } else if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
            ++res.SurvivorFailures;
            if (res.SurvivorError.empty())
                res.SurvivorError =
                    "worker " + std::to_string(p) + ": " + (s.Error[0] ? s.Error : "ended abnormally");
        }
        logsRead.push_back(ReadLog(logs + "/worker-" + std::to_string(p) + ".log"));
    }
    ::munmap(slots, sizeof(TSlot) * size_t(o.Procs));

    // The files, the locks and the folder, before anything of this process opens them.
    res.Check = CheckTableFiles(folder, TableName);
    res.Flagged = !res.Check.Ok();
    res.CheckText = res.Check.Text();
    const std::vector<std::string> locks = HeldTableLocks(folder, TableName);
    const std::vector<std::string> foreign = ForeignFiles(folder, TableName);
    for (const std::string& l : locks) res.Failures.push_back("lock range still held: " + l);
    for (const std::string& f : foreign) res.Failures.push_back("file left in the folder: " + f);

    InitializeLibrary();
    res.Next = ReadTable(folder, res.Flagged);
    FinalizeLibrary();

    // The rows must be the committed ones; a transaction whose commit a kill cut short may be
    // in or out, as a whole.
    std::vector<const TTransaction*> inDoubt;
    for (const TWorkerLog& l : logsRead)
        if (l.InDoubt) inDoubt.push_back(&*l.InDoubt);
    bool matched = false;
    std::string difference;
    if (res.Next.Opened && res.Next.WalkCode == 0) {
        for (uint32_t mask = 0; mask < (1u << inDoubt.size()) && !matched; ++mask) {
            TRows want;
            for (int32_t s = 1; s <= SharedRows; ++s) want[s] = {"", 0};
            for (const TWorkerLog& l : logsRead)
                for (const TTransaction& t : l.Committed) Apply(t, want);
            for (size_t i = 0; i < inDoubt.size(); ++i)
                if (mask & (1u << i)) Apply(*inDoubt[i], want);
            SettleShared(want);
            if (want == res.Next.Rows) matched = true;
            if (mask == 0) difference = DescribeDifference(want, res.Next.Rows);
        }
    }
    res.RowsMatch = matched;
    // A kill inside a commit may tear it: what it leaves is reported, not failed.
    if (!res.CommitKill) {
        if (res.Flagged) res.Failures.push_back("the check flags the table:\n" + res.CheckText);
        if (!res.Next.Opened)
            res.Failures.push_back("the table does not open: " + std::to_string(res.Next.OpenCode));
        if (res.Next.WalkCode) res.Failures.push_back("the walk fails: " + std::to_string(res.Next.WalkCode));
        for (const std::string& p : res.Next.Problems) res.Failures.push_back(p);
        if (res.Next.Opened && !res.Next.WalkCode && !matched)
            res.Failures.push_back("rows differ from the committed ones: " + difference);
        if (res.SurvivorFailures) res.Failures.push_back(res.SurvivorError);
    }
    res.Passed = res.Failures.empty();
    std::printf(
        "  %d processes, %d operations in %.1f s: %d transactions committed, %d rolled back "
        "(%d record-lock and %d file-lock conflicts), %d locking reads found the row changed\n",
        o.Procs, res.Ops, seconds, res.Committed, res.RolledBack, res.RecordConflicts, res.FileConflicts,
        res.Rereads);
    std::printf(
        "  check: %u records (%u active), %u index keys on %u pages, %u BLOB chains on %u blocks "
        "(%u free): %s\n",
        res.Check.PhysicalRecords, res.Check.ActiveRecords, res.Check.IndexKeys, res.Check.IndexPages,
        res.Check.BlobChains, res.Check.BlobBlocksUsed, res.Check.BlobBlocksFree,
        res.Flagged ? "FLAGGED" : "clean");
    if (res.OutsideWrites) std::printf("  %d file writes happened outside a commit\n", res.OutsideWrites);
    if (res.Committed)
        std::printf("  a commit wrote %.1f times to the files on average\n",
                    double(res.CommitWritesTotal) / res.Committed);
    return res;
}

std::string NextOpenText(const TTableRead& t) {
    std::string s = t.Opened ? "opens without error" : "open fails with " + std::to_string(t.OpenCode);
    s += t.RepairLines ? ", repair log of " + std::to_string(t.RepairLines) + " lines" : ", no repair log";
    if (t.Opened) {
        s += t.WalkCode ? ", walk fails with " + std::to_string(t.WalkCode) : ", walk succeeds";
        s += t.WriteCode ? ", a change fails with " + std::to_string(t.WriteCode) : ", a change succeeds";
    }
    return s;
}

// A fresh, empty table folder for a run or a round.
void FreshFolder(const std::string& folder) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
}

bool PlainRun(const TOptions& o, const std::string& folder, const std::string& logs) {
    FreshFolder(folder);
    std::printf("stress run: %d processes x %d operations, seed %u\n", o.Procs, o.Ops, o.Seed);
    const TRunResult r = RunOnce(o, folder, logs, o.Seed, kpNone);
    for (const std::string& f : r.Failures) std::printf("FAIL: %s\n", f.c_str());
    return r.Passed;
}

// Odd rounds kill at random moments, even rounds kill one worker inside a commit.
bool KillRounds(const TOptions& o, const std::string& folder, const std::string& logs) {
    bool passed = true;
    std::printf("kill run: %d rounds of %d processes x %d operations, seed %u\n", o.KillRounds, o.Procs,
                o.Ops, o.Seed);
    int32_t randomRounds = 0, randomKills = 0, randomInCommit = 0, randomHeld = 0;
    int32_t commitRounds = 0, inCommit = 0, afterCommit = 0, flagged = 0, rowsOnly = 0, intact = 0;
    int32_t survivorsFailed = 0;
    std::map<std::string, int32_t> nextOpens;
    std::map<int32_t, std::array<int32_t, 3>> byWrite;  // intact, flagged, rows torn
    for (int32_t round = 1; round <= o.KillRounds; ++round) {
        FreshFolder(folder);
        const TKillPlan plan = round % 2 ? kpRandom : kpCommit;
        std::printf("round %d (%s):\n", round, plan == kpRandom ? "random kills" : "a kill inside a commit");
        const TRunResult r = RunOnce(o, folder, logs, o.Seed * 1000u + uint32_t(round), plan);
        std::string at;
        for (int32_t w : r.KillWrites) at += (at.empty() ? " at write " : ", ") + std::to_string(w);
        std::printf("  kills: %d (%d inside a commit%s, %d right after one, %d elsewhere)\n", r.Killed,
                    r.KilledInCommit, at.c_str(), r.KilledAfterCommit, r.KilledElsewhere);
        if (plan == kpRandom) {
            ++randomRounds;
            randomKills += r.Killed;
            randomInCommit += r.KilledInCommit;
            randomHeld += r.Torn() ? 0 : 1;
        } else {
            ++commitRounds;
            afterCommit += r.KilledAfterCommit;
        }
        if (plan == kpCommit && r.KilledInCommit == 1) {
            ++inCommit;
            auto& counts = byWrite[r.KillWrites[0]];
            if (!r.Torn())
                ++intact, ++counts[0];
            else if (r.Flagged)
                ++flagged, ++counts[1];
            else
                ++rowsOnly, ++counts[2];
            if (r.SurvivorFailures) ++survivorsFailed;
        }
        if (r.CommitKill && r.Torn()) {
            ++nextOpens[NextOpenText(r.Next)];
            std::printf("  torn: next open %s; rows %s; %d survivors failed%s%s\n",
                        NextOpenText(r.Next).c_str(), r.RowsMatch ? "as committed" : "not as committed",
                        r.SurvivorFailures, r.SurvivorFailures ? ", first: " : "", r.SurvivorError.c_str());
            if (r.Flagged) std::printf("  check:\n%s", r.CheckText.c_str());
        }
        for (const std::string& f : r.Failures) std::printf("FAIL: %s\n", f.c_str());
        passed = passed && r.Passed;
    }
    std::printf("kill summary:\n");
    std::printf(
        "  %d rounds of random kills: %d workers killed (%d of them inside a commit); in %d rounds "
        "everything held (check clean, no lock left, rows as committed, survivors finished)\n",
        randomRounds, randomKills, randomInCommit, randomHeld);
    std::printf(
        "  %d rounds with a kill planned inside a commit: %d died inside it, %d after it (the commit "
        "had fewer writes); of those inside: %d left the table as committed, %d flagged by the check, "
        "%d with rows torn but a clean check; survivors failed in %d\n",
        commitRounds, inCommit, afterCommit, intact, flagged, rowsOnly, survivorsFailed);
    for (const auto& [write, c] : byWrite)
        std::printf("    killed before write %d of the commit: %d intact, %d flagged, %d rows torn\n", write,
                    c[0], c[1], c[2]);
    for (const auto& [text, n] : nextOpens)
        std::printf("  next open after a torn commit (%d rounds): %s\n", n, text.c_str());
    return passed;
}

int Run(const TOptions& o) {
    std::string base = o.Dir;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        const std::string parent = tmp && *tmp ? tmp : "/tmp";
        std::string tmpl = parent + "/table-stress-XXXXXX";
        if (!::mkdtemp(tmpl.data())) {
            std::fprintf(stderr, "table_stress: cannot make a folder in %s: %s\n", parent.c_str(),
                         std::strerror(errno));
            return 1;
        }
        base = tmpl;
    }
    const std::string folder = base + "/table", logs = base + "/logs";
    std::filesystem::create_directories(logs);
    const bool passed = o.KillRounds == 0 ? PlainRun(o, folder, logs) : KillRounds(o, folder, logs);
    std::printf("%s\n", passed ? "PASSED" : "FAILED");
    if (!o.Keep && o.Dir.empty()) std::filesystem::remove_all(base);
    return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions o;
    TToolOptions options("table_stress",
                         "[--procs N] [--ops M] [--seed S] [--kill-rounds R] [--dir PATH] [--keep]");
    options.Number("--procs", o.Procs, 1, 30)
        .Number("--ops", o.Ops, 1, 10000000)
        .Number("--seed", o.Seed)
        .Number("--kill-rounds", o.KillRounds, 0, 100000)
        .Text("--dir", o.Dir)
        .Flag("--keep", o.Keep);
    if (!options.Parse(argc, argv)) return 2;
    try {
        return Run(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "table_stress: %s\n", e.what());
        return 1;
    }
}
