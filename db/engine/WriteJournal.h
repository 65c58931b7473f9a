#pragma once
// The bytes a change of a table overwrites in the table's files, kept while the change runs
// so that a change that fails partway can put the files back as they were.
#include <cstdint>
#include <memory>
#include <vector>

class TFileHandler;

class TWriteJournal {
public:
    // Before `count` bytes are written at the position (a count of 0 ends the file there),
    // under the file's lock: keeps the bytes they overwrite within the file's size before
    // the change. Given the bytes about to be written, only those that differ are kept: a
    // write that fails leaves each byte either as it was or as written, so an equal one
    // needs no copy. 9217 when those cannot be read.
    void BeforeWrite(TFileHandler& file, int32_t position, int32_t count, const void* data = nullptr);
    // Writes the kept bytes back, the last write first, cuts every file to its size before
    // the change and flushes it; then forgets them. A file that fails again stays as that
    // failure left it.
    void Undo() noexcept;
    // Forgets the kept bytes; their storage stays for the next change (the batches of a
    // long statement reuse it instead of allocating and faulting it in again).
    void Clear();
    // Clear, and the storage given back but for one block.
    void ReleaseStorage();

private:
    struct TSaved {
        TFileHandler* File;
        int32_t Position;
        int32_t Length;
        const uint8_t* Bytes;
    };
    // A file the change wrote, with its size before the change (-1 while not known: no
    // write has gone beyond its end yet).
    struct TFile {
        TFileHandler* Handler;
        int32_t Size;
    };
    TFile& Touch(TFileHandler& file);
    // Copies bytes into the blocks; where they are kept.
    const uint8_t* Keep(const uint8_t* bytes, int32_t length);
    void Save(TFileHandler& file, int32_t position, const uint8_t* old, int32_t length);

    std::vector<TSaved> FSaved;
    std::vector<TFile> FFiles;
    std::vector<std::unique_ptr<uint8_t[]>> FBlocks;
    size_t FBlock = 0;     // the block being filled
    int32_t FUsed = 0;     // bytes of it in use
    std::unique_ptr<uint8_t[]> FRead;  // what one write overwrites, as read
    int32_t FReadCapacity = 0;
};
