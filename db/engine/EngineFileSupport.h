#pragma once
// What the table's files share: the seed pairs of the scrambling, a guard of a file's lock
// and the seek-and-transfer done under it.
//
// Seed pairs of the scrambling of encrypted tables. Each stored piece is scrambled on its
// own, the seeds starting afresh: a record image, a field descriptor, the data-file
// header's description and password, a BLOB block's header and its data, the BLOB file
// header. Changing a value makes existing encrypted files unreadable.
#include <cstdint>

#include "db/engine/WriteJournal.h"
#include "db/storage/Encodings.h"
#include "db/storage/FileLayer.h"

// Format version of every engine file header (offset 8).
constexpr uint8_t EngineFileVersion = 4;

struct TScrambleSeed {
    uint8_t Lo;
    uint8_t Hi;
};

// Records and field descriptors.
constexpr TScrambleSeed RecordSeed{0x5B, 0xC6};
// The table's description and password.
constexpr TScrambleSeed TextSeed{0x39, 0x8E};
// BLOB file header, block headers and block data.
constexpr TScrambleSeed BlobSeed{0x72, 0x2D};

inline void Scramble(void* buffer, int32_t count, TScrambleSeed seed) {
    ScrambleBuffer(buffer, count, seed.Lo, seed.Hi);
}

// Holds the shared file object's lock (all handlers of a file share its position).
class TFileLockGuard {
public:
    explicit TFileLockGuard(TFileHandler& file) : FFile(file) { FFile.Lock(); }
    ~TFileLockGuard() { FFile.Unlock(); }
    TFileLockGuard(const TFileLockGuard&) = delete;
    TFileLockGuard& operator=(const TFileLockGuard&) = delete;

private:
    TFileHandler& FFile;
};

// Reads or writes count bytes at the position, holding the file's lock for the seek and
// the transfer.
inline void ReadAt(TFileHandler& file, int32_t position, void* buffer, int32_t count) {
    TFileLockGuard guard(file);
    file.Seek(position, 0);
    file.Read(buffer, count);
}
// Reads up to count bytes at the position; the bytes read (fewer at the file's end).
inline int32_t ReadAvailableAt(TFileHandler& file, int32_t position, void* buffer, int32_t count) {
    TFileLockGuard guard(file);
    file.Seek(position, 0);
    return file.Read(buffer, count, true);
}
// With a journal, what the write overwrites is kept in it first.
inline void WriteAt(TFileHandler& file, int32_t position, const void* buffer, int32_t count,
                    TWriteJournal* journal = nullptr) {
    TFileLockGuard guard(file);
    if (journal) journal->BeforeWrite(file, position, count, buffer);
    file.Seek(position, 0);
    file.Write(buffer, count);
}
