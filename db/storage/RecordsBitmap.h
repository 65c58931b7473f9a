#pragma once
// A set of record numbers of one table, one bit per record: record n (1-based) is bit
// (n - 1) mod 32, least significant first, of 32-bit word (n - 1) div 32. Ranges and
// filters combine their results with And, Or and Not; the cursor walks the marked records.
#include <cstdint>

#include "db/storage/Library.h"
#include "db/storage/LibraryMemory.h"
#include "platform/rtl/System.h"

class TRecordsBitmap : public TObject {
public:
    TRecordsBitmap() = default;
    TRecordsBitmap(const TRecordsBitmap&) = delete;
    TRecordsBitmap& operator=(const TRecordsBitmap&) = delete;

    // Sized in 1024-byte steps, never shrunk; 0 releases the buffer.
    void SetBufferSize(int32_t bytes);
    void SetRecordCount(int32_t n);
    // Covers at least n records; the records newly covered start unmarked, whatever spare
    // bits the buffer held for them.
    void Extend(int32_t n);

    bool GetBit(int32_t n) const { return (FBits[(n - 1) >> 5] >> ((n - 1) & 31)) & 1u; }
    void SetBit(int32_t n) {
        const int32_t w = (n - 1) >> 5;
        FBits[w] |= 1u << ((n - 1) & 31);
        FCounted = -1;
        if (w < FLow || w >= FHigh) Widen(w, w + 1);
    }
    void ClearBit(int32_t n) {
        FBits[(n - 1) >> 5] &= ~(1u << ((n - 1) & 31));
        FCounted = -1;
    }

    // Marked records among 1 .. record count (kept until the next change, and taken over
    // by Assign), and among 1 .. n - 1.
    int32_t Count() const;
    int32_t CountBefore(int32_t n) const;
    // Moves over n marked records after (before) position; position follows every marked
    // record passed and ordinal counts them (up for FindNext, down for FindPrior).
    bool FindNext(int32_t& position, int32_t n, int32_t& ordinal) const;
    bool FindPrior(int32_t& position, int32_t n, int32_t& ordinal) const;

    // Word-wise over this bitmap's words; records the other bitmap does not cover count
    // as unmarked.
    void AndBitmap(const TRecordsBitmap& other);
    void OrBitmap(const TRecordsBitmap& other);
    // Inverts every word, spare bits included.
    void NotBitmap();
    // Whole buffer capacity.
    void ClearAll();
    void SetAll();
    void Assign(const TRecordsBitmap& source);
    // Assign (source) then AndBitmap (other), in words only where both spans meet: the same
    // buffer, without a copy of every source word that other then clears. Neither may be
    // this bitmap.
    void AssignAnd(const TRecordsBitmap& source, const TRecordsBitmap& other);
    // Every word outside [MarkedFrom, MarkedTo) is zero.
    int32_t MarkedFrom() const { return FLow; }
    int32_t MarkedTo() const { return FHigh; }
    int32_t MarkedWordSpan() const { return FHigh > FLow ? FHigh - FLow : 0; }

    // Exchanges buffers, counts and marks with other.
    void Swap(TRecordsBitmap& other) noexcept;
    // Pool reset: all bits cleared, record count and buffer kept.
    void Reset() { ClearAll(); }

    int32_t RecordCount() const { return FRecordCount; }
    int32_t BitCount() const { return FBitCount; }
    int32_t WordCount() const { return FWordCount; }
    int32_t BufferCapacity() const { return FCapacity; }
    const uint32_t* Words() const { return FBits.get(); }

private:
    void Widen(int32_t low, int32_t high);
    // Assign's first step: the source's record count and buffer size, and this buffer's
    // words cleared up to the source's capacity. Returns the end of the marked words kept.
    int32_t TakeShape(const TRecordsBitmap& source);
    // Zeroes the words [from, to).
    void ClearWords(int32_t from, int32_t to);

    TLibraryPtr<uint32_t[]> FBits;
    // Every word of the buffer outside [FLow, FHigh) is zero: a bitmap marking a few
    // records of a big table is cleared, counted, combined and walked over those words only.
    int32_t FLow = 0;
    int32_t FHigh = 0;
    int32_t FCapacity = 0;
    int32_t FRecordCount = 0;
    int32_t FBitCount = 0;
    int32_t FWordCount = 0;
    // Count's result while nothing changed since; -1 when not known.
    mutable int32_t FCounted = -1;
};

// The pool of record bitmaps.
class TRecordsBitmapStack : public TObjectPool<TRecordsBitmap> {
public:
    TRecordsBitmapStack() : TObjectPool<TRecordsBitmap>(512) {}
};
