#pragma once
// Moves of a table's files by name that can be taken back: a change of a table's files that
// fails part way leaves the table as it was.
#include <string>
#include <utility>
#include <vector>

#include "db/engine/EngineErrors.h"
#include "db/storage/FileLayer.h"

// Moves files by name and undoes the moves made so far when asked.
class TFileMoves {
public:
    explicit TFileMoves(bool inMemory) : FInMemory(inMemory) {}
    // Nothing when the source does not exist; raises the file layer's code on failure. The
    // move is noted before it is made: a rename that raises after it moved the file (out of
    // memory for the name's bookkeeping) is undone with the others.
    void Move(const std::string& from, const std::string& to, const std::string& tableName) {
        if (!DataFileExists(from, FInMemory)) return;
        FDone.emplace_back(from, to);
        const int32_t r = GlobalFileList()->RenameFile(from, FInMemory, to);
        if (r < 0) {
            FDone.pop_back();
            RaiseEngineError(uint16_t(-r), tableName);
        }
    }
    // The moves made, as (from, to).
    const std::vector<std::pair<std::string, std::string>>& Done() const { return FDone; }
    void Undo() {
        for (auto it = FDone.rbegin(); it != FDone.rend(); ++it)
            GlobalFileList()->RenameFile(it->second, FInMemory, it->first);
        FDone.clear();
    }

private:
    bool FInMemory;
    std::vector<std::pair<std::string, std::string>> FDone;
};
