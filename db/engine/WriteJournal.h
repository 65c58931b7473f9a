#pragma once
// The bytes a change of a table overwrites in the table's files, kept while the change runs
// so that a change that fails partway can put the files back as they were.
#include <cstdint>
#include <vector>

class TFileHandler;

class TWriteJournal {
public:
    // Before `count` bytes are written at the position (a count of 0 ends the file there),
    // under the file's lock: keeps the bytes they overwrite within the file's size before
    // the change. 9217 when those cannot be read.
    void BeforeWrite(TFileHandler& file, int32_t position, int32_t count);
    // Writes the kept bytes back, the last write first, cuts every file to its size before
    // the change and flushes it; then forgets them. A file that fails again stays as that
    // failure left it.
    void Undo() noexcept;
    void Clear();

private:
    struct TSaved {
        TFileHandler* File;
        int32_t Position;
        std::vector<uint8_t> Bytes;
    };
    // A file the change wrote, with its size before the change (-1 while not known: no
    // write has gone beyond its end yet).
    struct TFile {
        TFileHandler* Handler;
        int32_t Size;
    };
    TFile& Touch(TFileHandler& file);

    std::vector<TSaved> FSaved;
    std::vector<TFile> FFiles;
};
