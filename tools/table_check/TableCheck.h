#pragma once
// Consistency check of one table's files, read straight from disk past the engine (no
// engine file, cache or lock is used): the data file's records and deleted chain, every
// index tree (order, subtree counts, leaf links, free pages) against the records, and every
// BLOB chain with the free-block chain. Also: whether any of the table's lock ranges is
// still held by some process, and which files besides the table's lie in its folder.
#include <cstdint>
#include <string>
#include <vector>

struct TTableCheckReport {
    // One line per damage found, at most MaxProblemLines kept; ProblemCount counts all.
    std::vector<std::string> Problems;
    int64_t ProblemCount = 0;
    // What the walk saw.
    uint32_t PhysicalRecords = 0;
    uint32_t ActiveRecords = 0;
    uint32_t DeletedRecords = 0;
    uint32_t IndexKeys = 0;  // over every index, the deleted-records index included
    uint32_t IndexPages = 0;
    uint32_t FreeIndexPages = 0;
    uint32_t BlobChains = 0;
    uint32_t BlobBlocksUsed = 0;
    uint32_t BlobBlocksFree = 0;

    static constexpr size_t MaxProblemLines = 40;
    bool Ok() const { return ProblemCount == 0; }
    void Add(const std::string& problem);
    // The problems, one per line (with a count of those left out).
    std::string Text() const;
};

// Checks the table `name` (with or without ".DAT") in `folder`.
TTableCheckReport CheckTableFiles(const std::string& folder, const std::string& name);

// The lock ranges of the table that another process still holds, by name ("record bytes",
// "data write byte", "index write range", "BLOB write range"); empty when every one could
// be taken. Run it from a process that has none of the table's files open in the engine.
std::vector<std::string> HeldTableLocks(const std::string& folder, const std::string& name);

// The files in the folder other than the table's three (names compared without case).
std::vector<std::string> ForeignFiles(const std::string& folder, const std::string& name);
