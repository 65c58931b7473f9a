// Fuzz target of the SQL parsers: any text either parses into a consistent statement or
// fails with engine error 11949; either way every expression node goes back to the pool
// once the statement is freed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/sql/QueryStatement.h"
#include "db/storage/EngineErrors.h"
#include "db/storage/Library.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_sql: %s\n", what);
        std::abort();
    }
}

// A parse takes fewer nodes than the text has characters, plus one per ON clause: with
// that many idle, a parse creates none, so the idle count must come back exactly.
void FillPool(size_t size) {
    const int32_t want = static_cast<int32_t>(2 * size + 64);
    std::vector<TExpToken*> spare;
    while (ExpTokenStack()->IdleCount() + static_cast<int32_t>(spare.size()) < want)
        spare.push_back(NewExpToken());
    for (auto*& t : spare) DisposeExpToken(t);
}

void CheckParsed(TQueryStatement& s, int32_t position, size_t size) {
    Check(position >= 0 && static_cast<size_t>(position) <= size, "position beyond the text");
    const TQueryClauses& main = s.MainQuery()->Clauses();
    Check(main.Kind >= skSelect && main.Kind <= skDropIndex, "statement kind");
    Check(!main.IsSubQuery, "main query marked as sub-select");
    for (int32_t i = 1; i < s.QueryCount(); ++i)
        Check(s.Query(i)->Clauses().IsSubQuery && s.Query(i)->Clauses().Kind == skSelect, "sub-select query");
    for (int32_t i = 0; i < s.ParamCount(); ++i) Check(s.Param(i)->IsParameter == 1, "parameter marker");
    for (int32_t i = 0; i < s.QueryCount(); ++i) {
        const TQueryClauses& q = s.Query(i)->Clauses();
        for (const auto& t : q.SourceTables)
            Check(t->FromPosition >= 1 && t->FromPosition <= static_cast<int32_t>(q.SourceTables.size()),
                  "FROM position");
        if (q.Kind == skUpdate) Check(q.UpdateFields.size() == q.UpdateValues.size(), "UPDATE pairs");
        for (const auto& f : q.CreateFields) f->AssignDataType(1);
        for (const auto& x : q.CreateIndexes) {
            x->BuildFieldList();
            Check(x->ColumnNames.Count() == static_cast<int>(x->ColumnNodes.size()), "index columns");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (InitializeLibrary(), true);
    (void)started;
    const std::string text(reinterpret_cast<const char*>(data), size);
    FillPool(size);
    const int32_t idle = ExpTokenStack()->IdleCount();
    {
        TQueryStatement s(nullptr);
        try {
            const int32_t position = s.Parse(text);
            CheckParsed(s, position, size);
        } catch (const EZIZIVUEngineError& e) {
            Check(e.ErrorCode() == ZIZIVU_SQLERROR, "parse error with a foreign code");
            Check(s.ParamCount() == 0, "markers kept after a failed parse");
        }
    }
    Check(ExpTokenStack()->IdleCount() == idle, "nodes lost or given back twice");
    return 0;
}

// The shared replay driver calls this after the last input, before the leak check.
extern "C" void ZeltoFuzzReplayDone() {
    FinalizeLibrary();
}
