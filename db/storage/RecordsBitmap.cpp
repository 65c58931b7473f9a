#include "db/storage/RecordsBitmap.h"

#include <bit>
#include <cstring>

#include "db/storage/LibraryMemory.h"

namespace {
constexpr int32_t BitmapBlockSize = 1024;
constexpr uint32_t AllOnes = 0xFFFFFFFFu;
}  // namespace

void TRecordsBitmap::SetBufferSize(int32_t bytes) {
    SetBlockBufferSize(bytes, BitmapBlockSize, FBits, FCapacity);
}

void TRecordsBitmap::SetRecordCount(int32_t n) {
    if (n == FRecordCount) return;
    FRecordCount = n;
    FBitCount = n > 0 ? ((n + 31) / 32) * 32 : 0;
    FWordCount = FBitCount / 32;
    SetBufferSize(FWordCount * 4);
}

void TRecordsBitmap::Extend(int32_t n) {
    const int32_t old = FRecordCount;
    if (n <= old) return;
    SetRecordCount(n);
    int32_t w = old >> 5;
    if (old & 31) FBits[w++] &= AllOnes >> (32 - (old & 31));
    if (w < FWordCount) std::memset(FBits.get() + w, 0, size_t(FWordCount - w) * 4);
}

int32_t TRecordsBitmap::Count() const {
    int32_t total = 0;
    int32_t fullWords = FRecordCount / 32;
    for (int32_t w = 0; w < fullWords; ++w) {
        uint32_t v = FBits[w];
        if (v == AllOnes)
            total += 32;
        else if (v != 0)
            total += std::popcount(v);
    }
    int32_t rest = FRecordCount % 32;
    if (rest > 0) total += std::popcount(FBits[fullWords] & ((1u << rest) - 1));
    return total;
}

int32_t TRecordsBitmap::CountBefore(int32_t n) const {
    if (n <= 1) return 0;
    // A backward walk from n that never reaches its goal passes every marked record.
    int32_t position = n, ordinal = 0;
    FindPrior(position, INT32_MAX, ordinal);
    return -ordinal;
}

bool TRecordsBitmap::FindNext(int32_t& position, int32_t n, int32_t& ordinal) const {
    int32_t rec = position + 1;
    if (rec < 1) rec = 1;
    if (rec > FRecordCount || n < 1) return false;
    int32_t found = 0;
    while (rec <= FRecordCount) {
        int32_t w = (rec - 1) >> 5;
        int32_t bit = (rec - 1) & 31;
        uint32_t v = FBits[w];
        if (bit == 0) {
            if (v == 0) {
                rec += 32;
                continue;
            }
            int32_t last = rec + 31;
            if (v == AllOnes && last <= FRecordCount && found + 32 <= n) {
                found += 32;
                ordinal += 32;
                position = last;
                if (found == n) return true;
                rec += 32;
                continue;
            }
        }
        if ((v >> bit) & 1u) {
            position = rec;
            ++found;
            ++ordinal;
            if (found == n) return true;
        }
        ++rec;
    }
    return false;
}

bool TRecordsBitmap::FindPrior(int32_t& position, int32_t n, int32_t& ordinal) const {
    int32_t rec = position - 1;
    if (rec > FRecordCount) rec = FRecordCount;
    if (rec < 1 || n < 1) return false;
    int32_t found = 0;
    while (rec >= 1) {
        int32_t w = (rec - 1) >> 5;
        int32_t bit = (rec - 1) & 31;
        uint32_t v = FBits[w];
        if (bit == 31) {
            if (v == 0) {
                rec -= 32;
                continue;
            }
            if (v == AllOnes && found + 32 <= n) {
                found += 32;
                ordinal -= 32;
                position = rec - 31;
                if (found == n) return true;
                rec -= 32;
                continue;
            }
        }
        if ((v >> bit) & 1u) {
            position = rec;
            ++found;
            --ordinal;
            if (found == n) return true;
        }
        --rec;
    }
    return false;
}

// Word w of other, with records other does not cover (its spare bits and every word
// beyond its own) counted as unmarked.
static uint32_t CoveredWord(const TRecordsBitmap& other, int32_t w) {
    if (w >= other.WordCount()) return 0;
    uint32_t word = other.Words()[w];
    int32_t spare = other.BitCount() - other.RecordCount();
    if (w == other.WordCount() - 1 && spare > 0) word &= ~0u >> spare;
    return word;
}

void TRecordsBitmap::AndBitmap(const TRecordsBitmap& other) {
    for (int32_t w = 0; w < FWordCount; ++w) FBits[w] &= CoveredWord(other, w);
}

void TRecordsBitmap::OrBitmap(const TRecordsBitmap& other) {
    for (int32_t w = 0; w < FWordCount; ++w) FBits[w] |= CoveredWord(other, w);
}

void TRecordsBitmap::NotBitmap() {
    for (int32_t w = 0; w < FWordCount; ++w) FBits[w] = ~FBits[w];
}

void TRecordsBitmap::ClearAll() {
    if (FCapacity > 0) std::memset(FBits.get(), 0, FCapacity);
}

void TRecordsBitmap::SetAll() {
    if (FCapacity > 0) std::memset(FBits.get(), 0xFF, FCapacity);
}

void TRecordsBitmap::Assign(const TRecordsBitmap& source) {
    if (&source == this) return;
    SetBufferSize(source.FCapacity);
    FRecordCount = source.FRecordCount;
    FBitCount = source.FBitCount;
    FWordCount = source.FWordCount;
    if (source.FCapacity > 0) std::memcpy(FBits.get(), source.FBits.get(), source.FCapacity);
}
