#include "db/engine/DataDirectory.h"

#include <unistd.h>

#include <algorithm>

#include "db/engine/DataSession.h"
#include "db/engine/DataTable.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/FileLayer.h"
#include "platform/os/Files.h"
#include "platform/rtl/ScopeGuard.h"
#include "platform/rtl/SysUtils.h"

namespace {

std::string DataFileName(const std::string& name) {
    return ForceFileExt(Trim(name), ".DAT");
}

}  // namespace

TDataDirectory::TDataDirectory(TDataSession* session, const std::string& databaseName,
                               const std::string& path, const std::string& universalPath)
    : FSession(session), FDatabaseName(databaseName), FPath(path), FUniversalPath(universalPath) {}

TDataDirectory::~TDataDirectory() {
    if (FTransactionActive) {
        try {
            Rollback();
        } catch (...) {
            // A table that cannot reread its headers is freed all the same.
        }
    }
    // Each table leaves the list before it goes.
    while (!FTables.empty()) {
        std::unique_ptr<TDataTable> t = std::move(FTables.back());
        FTables.pop_back();
    }
}

TDataTable* TDataDirectory::FindTable(const std::string& name, bool inMemory) {
    const std::string wanted = DataFileName(name);
    if (inMemory) {
        for (const auto& t : FTables)
            if (t->InMemory() && SameText(t->Name(), wanted)) return t.get();
        return nullptr;
    }
    // Disk tables are the same when their data files resolve to the same file: a name
    // that exists only in another case finds it, two existing names that differ in case
    // stay apart.
    const std::string resolved = ResolveFileName(FPath + wanted);
    for (const auto& t : FTables)
        if (!t->InMemory() && t->ResolvedName() == resolved) return t.get();
    return nullptr;
}

int32_t TDataDirectory::IndexOfTable(TDataTable* table) const {
    auto it =
        std::find_if(FTables.begin(), FTables.end(), [table](const auto& t) { return t.get() == table; });
    return it == FTables.end() ? -1 : int32_t(it - FTables.begin());
}

void TDataDirectory::FreeTable(TDataTable* table) {
    const int32_t i = IndexOfTable(table);
    if (i < 0) return;
    // Out of the list before it goes.
    std::unique_ptr<TDataTable> freed = std::move(FTables[size_t(i)]);
    FTables.erase(FTables.begin() + i);
}

int32_t TDataDirectory::OpenTable(const std::string& name, TDataTable*& table, bool option1, bool option2,
                                  bool temporary, bool inMemory, bool shareOverride, bool exclusive) {
    TDataTable* t = FindTable(name, inMemory);
    if (t && t->OpenCount() > 0) {
        if ((t->Exclusive() || exclusive) && !shareOverride) return -ZIZIVU_OSACCESSDENIED;
        t->IncOpenCount();
        table = t;
        return 0;
    }
    // Kept open by a transaction after its last opener left, its files stay as they were
    // opened: a shared claim cannot become an exclusive one, and an exclusive one stays.
    if (t && t->IsOpen()) {
        if (exclusive && !t->Exclusive()) return -ZIZIVU_OSACCESSDENIED;
        exclusive = t->Exclusive();
    }
    const bool isNew = t == nullptr;
    std::unique_ptr<TDataTable> created;
    if (isNew) {
        created = std::make_unique<TDataTable>(this);
        t = created.get();
        t->SetTableName(name);
    }
    t->SetExclusive(exclusive);
    t->SetInMemory(inMemory);
    t->SetTemporary(temporary);
    t->SetOpenOptions(option1, option2);
    t->AssignFileNames();
    t->OpenFiles();
    if (FTransactionActive && !t->InTransaction()) {
        // Its cursors do not reread the headers inside the transaction: they are checked
        // here, as a first opener outside one checks them, before anything acts on them.
        TScopeGuard close([t] { t->CloseFiles(false); });
        t->ReadHeadersLocked();
        close.Dismiss();
        t->StartTransaction();
    }
    if (isNew) FTables.push_back(std::move(created));
    table = t;
    return 0;
}

int32_t TDataDirectory::CloseTable(TDataTable* table, bool temporaryDiscard) {
    if (IndexOfTable(table) < 0) return -ZIZIVU_OSPATHNOTFOUND;
    // The last opener's close frees the table even when the close reports a failure.
    TScopeGuard release([this, table] {
        if (table->OpenCount() == 0 && !table->InTransaction()) FreeTable(table);
    });
    table->CloseFiles(temporaryDiscard);
    return 0;
}

int32_t TDataDirectory::CreateTable(const std::string& name, TDataTable*& table, bool temporary,
                                    bool inMemory, const TTableDefinition& definition) {
    if (Trim(ExtractNameNoExt(name)).empty()) return -ZIZIVU_OSPATHNOTFOUND;
    TDataTable* t = FindTable(name, inMemory);
    if (t && t->OpenCount() > 0) return -ZIZIVU_OSACCESSDENIED;
    std::unique_ptr<TDataTable> created;
    if (!t) {
        created = std::make_unique<TDataTable>(this);
        t = created.get();
        t->SetTableName(name);
    }
    t->SetExclusive(true);
    t->SetInMemory(inMemory);
    t->SetTemporary(temporary);
    t->AssignFileNames();
    t->CreateFiles(definition);
    if (created) FTables.push_back(std::move(created));
    table = t;
    return 0;
}

int32_t TDataDirectory::DeleteTable(const std::string& name, bool inMemory) {
    TDataTable* open = FindTable(name, inMemory);
    if (open && open->OpenCount() != 0) return -ZIZIVU_OSACCESSDENIED;
    TDataTable t(this);
    t.SetTableName(name);
    t.SetInMemory(inMemory);
    t.AssignFileNames();
    t.DeleteFiles();
    return 0;
}

int32_t TDataDirectory::RenameTable(const std::string& name, const std::string& newName, bool toBackup,
                                    bool inMemory) {
    TDataTable* open = FindTable(name, inMemory);
    if (open && open->OpenCount() != 0) return -ZIZIVU_OSACCESSDENIED;
    TDataTable t(this);
    t.SetTableName(name);
    t.SetInMemory(inMemory);
    t.AssignFileNames();
    t.RenameFiles(newName, toBackup);
    return 0;
}

bool TDataDirectory::TableExists(const std::string& name, bool inMemory) {
    TDataTable* t = FindTable(name, inMemory);
    if (t && t->OpenCount() > 0) return true;
    return DataFileExists(inMemory ? DataFileName(name) : FPath + DataFileName(name), inMemory);
}

std::string TDataDirectory::GetTemporaryTableName(bool inMemory) {
    // The whole thread id, in seven digits (thread ids stay below 2^22): names of threads whose
    // ids share their first digits, in this process or in another using the same folder, stay
    // apart. A shared prefix let two statements pick one name at once and refuse each other
    // (11013, 13060), and a restructure set aside its files under another one's name.
    const long tid = long(::gettid());
    std::string prefix = IntToStr(int64_t(tid < 0 ? -tid : tid));
    if (prefix.size() < 7) prefix.insert(0, 7 - prefix.size(), '0');
    for (int64_t counter = 0;; ++counter) {
        std::string candidate = prefix + IntToStr(counter) + ".DAT";
        if (!TableExists(candidate, inMemory)) return candidate;
    }
}

void TDataDirectory::StartTransaction() {
    if (FTransactionActive) return;
    // A table that cannot start leaves none started: those before it give theirs back.
    std::vector<TDataTable*> started;
    TScopeGuard undo([&started] {
        for (TDataTable* t : started) t->AbandonTransaction();
    });
    for (const auto& t : FTables)
        if (t->OpenCount() > 0 && !t->InTransaction()) {
            t->StartTransaction();
            started.push_back(t.get());
        }
    undo.Dismiss();
    FTransactionActive = true;
}

void TDataDirectory::Commit(bool end) {
    {
        // A table whose commit fails ends the transaction: the tables not yet committed
        // keep nothing of it either.
        TScopeGuard abandon([this] {
            for (const auto& t : FTables)
                if (t->InTransaction()) t->AbandonTransaction();
            FTransactionActive = false;
        });
        for (const auto& t : FTables)
            if (t->InTransaction()) t->RaiseIfTransactionBroken();
        for (auto it = FTables.rbegin(); it != FTables.rend(); ++it)
            if ((*it)->InTransaction()) (*it)->Commit(end);
        abandon.Dismiss();
    }
    if (end) {
        FTransactionActive = false;
        ReleaseClosedTables();
    }
}

void TDataDirectory::Rollback() {
    for (const auto& t : FTables)
        if (t->InTransaction()) t->Rollback();
    FTransactionActive = false;
    ReleaseClosedTables();
}

void TDataDirectory::ReleaseClosedTables() {
    for (size_t i = FTables.size(); i-- > 0;) {
        TDataTable* t = FTables[i].get();
        if (t->OpenCount() == 0 && !t->InTransaction()) {
            // The files stayed open for the transaction; close them now.
            t->CloseFiles(false);
            FreeTable(t);
        }
    }
}
