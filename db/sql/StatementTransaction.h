#pragma once
// The transaction a data statement (INSERT ... SELECT, UPDATE, DELETE) runs in: its own on
// the target's database unless one is open there already, committed every so many rows so
// that the engine's transaction buffers stay bounded. A statement that fails rolls back
// what its own transaction holds; rows of earlier commits stay.
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/rtl/ScopeGuard.h"

class TDataCursor;
class TDataDirectory;

// Told of every commit a data statement makes (end: the one that ends its own transaction).
using TStatementCommitObserver = std::function<void(TDataDirectory* directory, bool end)>;
void SetStatementCommitObserver(TStatementCommitObserver observer);

class TStatementTransaction {
public:
    // interval: the statement's COMMIT INTERVAL, 0 when not given; then a transaction of
    // the statement's own commits every min(262140 div recordSize, 8191) rows and an outer
    // one is not committed at all.
    TStatementTransaction(TDataDirectory* directory, int32_t interval, int32_t recordSize);
    TStatementTransaction(const TStatementTransaction&) = delete;
    TStatementTransaction& operator=(const TStatementTransaction&) = delete;

    bool Own() const { return FOwn; }
    int32_t Interval() const { return FInterval; }
    // After the count-th changed row: commits when it is due; the cursors then take the
    // tables' change counters as their own.
    void RowDone(int32_t count, const std::vector<TDataCursor*>& cursors);
    // Ends the statement's own transaction.
    void Finish();

private:
    TDataDirectory* FDirectory;
    bool FOwn = false;
    bool FCommits = false;
    int32_t FInterval = 0;
    // The statement's own transaction is rolled back when Finish was not reached.
    TScopeGuard<std::function<void()>> FRollback;
};
