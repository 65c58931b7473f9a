#include "db/storage/RecordsBitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "db/storage/LibraryMemory.h"

namespace {
constexpr int32_t BitmapBlockSize = 1024;
constexpr uint32_t AllOnes = 0xFFFFFFFFu;
}  // namespace

void TRecordsBitmap::SetBufferSize(int32_t bytes) {
    FCounted = -1;
    // A grown buffer comes zeroed.
    SetBlockBufferSize(bytes, BitmapBlockSize, FBits, FCapacity);
    if (FCapacity == 0) FLow = FHigh = 0;
}

void TRecordsBitmap::Widen(int32_t low, int32_t high) {
    if (low >= high) return;
    if (FLow >= FHigh) {
        FLow = low;
        FHigh = high;
        return;
    }
    FLow = std::min(FLow, low);
    FHigh = std::max(FHigh, high);
}

void TRecordsBitmap::ClearWords(int32_t from, int32_t to) {
    if (from < to) std::memset(FBits.get() + from, 0, size_t(to - from) * 4);
}

void TRecordsBitmap::SetRecordCount(int32_t n) {
    if (n == FRecordCount) return;
    const int32_t bits = n > 0 ? ((n + 31) / 32) * 32 : 0;
    // The buffer first: when the heap refuses it, the bitmap stays as it was.
    SetBufferSize(bits / 8);
    FRecordCount = n;
    FBitCount = bits;
    FWordCount = bits / 32;
}

void TRecordsBitmap::Extend(int32_t n) {
    const int32_t old = FRecordCount;
    if (n <= old) return;
    SetRecordCount(n);
    int32_t w = old >> 5;
    if (old & 31) FBits[w++] &= AllOnes >> (32 - (old & 31));
    if (w < FWordCount) std::memset(FBits.get() + w, 0, size_t(FWordCount - w) * 4);
}

namespace {

// Marks in n words, two at a time.
template <class P>
inline __attribute__((always_inline)) int64_t CountMarks(const uint32_t* words, int32_t n, P popcount) {
    int64_t total = 0;
    int32_t w = 0;
    for (; w + 2 <= n; w += 2) {
        uint64_t pair;
        std::memcpy(&pair, words + w, sizeof pair);
        total += popcount(pair);
    }
    if (w < n) total += popcount(uint64_t(words[w]));
    return total;
}

#if defined(__x86_64__) && defined(__GNUC__)
// A view of a big table is counted at every change of its filters: with the processor's
// population count instruction where it has one.
__attribute__((target("popcnt"))) int64_t CountMarksPopcnt(const uint32_t* words, int32_t n) {
    return CountMarks(words, n,
                      [](uint64_t v) __attribute__((always_inline)) { return __builtin_popcountll(v); });
}
bool HasPopcnt() {
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("popcnt"));
    return has;
}
#endif

int64_t CountWords(const uint32_t* words, int32_t n) {
    if (n <= 0) return 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (HasPopcnt()) return CountMarksPopcnt(words, n);
#endif
    return CountMarks(words, n, [](uint64_t v) { return std::popcount(v); });
}

}  // namespace

int32_t TRecordsBitmap::Count() const {
    if (FCounted < 0) FCounted = CountBefore(FRecordCount + 1);
    return FCounted;
}

int32_t TRecordsBitmap::CountBefore(int32_t n) const {
    // The marked records below n, a word at a time (only zero words lie outside the span):
    // a backward walk would step through a partly marked word bit by bit, and a cursor
    // recounts its position this way at every return to a record.
    const int32_t last = std::min(n - 1, FRecordCount);
    if (last < 1) return 0;
    const int32_t fullWords = last / 32;
    const int32_t end = std::min(fullWords, FHigh);
    int32_t total = FLow < end ? int32_t(CountWords(FBits.get() + FLow, end - FLow)) : 0;
    const int32_t rest = last % 32;
    if (rest > 0 && fullWords >= FLow && fullWords < FHigh)
        total += std::popcount(FBits[fullWords] & ((1u << rest) - 1));
    return total;
}

bool TRecordsBitmap::FindNext(int32_t& position, int32_t n, int32_t& ordinal) const {
    // A walk over a run of marked records: the next record is the answer, no scan.
    if (n == 1 && position >= 0 && position < FRecordCount && GetBit(position + 1)) {
        ++position;
        ++ordinal;
        return true;
    }
    int32_t rec = position + 1;
    if (rec < 1) rec = 1;
    if (rec > FRecordCount || n < 1) return false;
    // Only zero words lie outside the span.
    rec = int32_t(std::max<int64_t>(rec, int64_t(FLow) * 32 + 1));
    const int32_t limit = int32_t(std::min<int64_t>(FRecordCount, int64_t(FHigh) * 32));
    int32_t found = 0;
    while (rec <= limit) {
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
    rec = int32_t(std::min<int64_t>(rec, int64_t(FHigh) * 32));
    const int32_t limit = int32_t(std::min<int64_t>(int64_t(FLow) * 32 + 1, INT32_MAX));
    int32_t found = 0;
    while (rec >= limit) {
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
    FCounted = -1;
    // Words beyond the record count stay as they are; within it only the words both spans
    // share can stay marked.
    const int32_t end = std::min(FHigh, FWordCount);
    const int32_t low = std::max(FLow, other.FLow);
    const int32_t high = std::max(low, std::min(end, other.FHigh));
    ClearWords(FLow, std::min(low, end));
    const int32_t plain = std::max(low, std::min(high, other.FWordCount - 1));
    const uint32_t* words = other.FBits.get();
    int32_t w = low;
    for (; w < plain; ++w) FBits[w] &= words[w];
    for (; w < high; ++w) FBits[w] &= CoveredWord(other, w);
    ClearWords(std::max(high, FLow), end);
    if (FHigh > FWordCount) {
        FLow = low < high ? low : FWordCount;
    } else if (low < high) {
        FLow = low;
        FHigh = high;
    } else {
        FLow = FHigh = 0;
    }
}

void TRecordsBitmap::OrBitmap(const TRecordsBitmap& other) {
    FCounted = -1;
    const int32_t low = other.FLow;
    const int32_t high = std::min(other.FHigh, FWordCount);
    for (int32_t w = low; w < high; ++w) FBits[w] |= CoveredWord(other, w);
    Widen(low, high);
}

void TRecordsBitmap::NotBitmap() {
    FCounted = -1;
    for (int32_t w = 0; w < FWordCount; ++w) FBits[w] = ~FBits[w];
    Widen(0, FWordCount);
}

void TRecordsBitmap::ClearAll() {
    FCounted = -1;
    ClearWords(FLow, FHigh);
    FLow = FHigh = 0;
}

void TRecordsBitmap::SetAll() {
    FCounted = -1;
    if (FCapacity > 0) std::memset(FBits.get(), 0xFF, FCapacity);
    Widen(0, FCapacity / 4);
}

void TRecordsBitmap::Swap(TRecordsBitmap& other) noexcept {
    std::swap(FBits, other.FBits);
    std::swap(FLow, other.FLow);
    std::swap(FHigh, other.FHigh);
    std::swap(FCapacity, other.FCapacity);
    std::swap(FRecordCount, other.FRecordCount);
    std::swap(FBitCount, other.FBitCount);
    std::swap(FWordCount, other.FWordCount);
    std::swap(FCounted, other.FCounted);
}

int32_t TRecordsBitmap::TakeShape(const TRecordsBitmap& source) {
    SetBufferSize(source.FCapacity);
    FRecordCount = source.FRecordCount;
    FBitCount = source.FBitCount;
    FWordCount = source.FWordCount;
    // Words past the source's buffer keep what they held.
    ClearWords(FLow, std::min(FHigh, source.FCapacity / 4));
    return FHigh;
}

void TRecordsBitmap::Assign(const TRecordsBitmap& source) {
    if (&source == this) return;
    // The source's buffer is copied.
    const int32_t keptHigh = TakeShape(source);
    const int32_t sourceWords = source.FCapacity / 4;
    if (source.FLow < source.FHigh)
        std::memcpy(FBits.get() + source.FLow, source.FBits.get() + source.FLow,
                    size_t(source.FHigh - source.FLow) * 4);
    FLow = source.FLow;
    FHigh = source.FHigh;
    if (keptHigh > sourceWords) Widen(sourceWords, keptHigh);
    // The same words up to the same record count.
    FCounted = source.FCounted;
}

void TRecordsBitmap::AssignAnd(const TRecordsBitmap& source, const TRecordsBitmap& other) {
    const int32_t keptHigh = TakeShape(source);
    const int32_t sourceWords = source.FCapacity / 4;
    // Within the record count only words marked in both can stay marked.
    const int32_t low = std::max(source.FLow, other.FLow);
    const int32_t high = std::max(low, std::min({source.FHigh, other.FHigh, FWordCount}));
    const int32_t plain = std::max(low, std::min(high, other.FWordCount - 1));
    int32_t w = low;
    for (; w < plain; ++w) FBits[w] = source.FBits[w] & other.FBits[w];
    for (; w < high; ++w) FBits[w] = source.FBits[w] & CoveredWord(other, w);
    // Past the record count the source's words stay as they are.
    const int32_t beyond = std::max(source.FLow, FWordCount);
    if (beyond < source.FHigh)
        std::memcpy(FBits.get() + beyond, source.FBits.get() + beyond, size_t(source.FHigh - beyond) * 4);
    FLow = FHigh = 0;
    Widen(low, high);
    Widen(beyond, source.FHigh);
    if (keptHigh > sourceWords) Widen(sourceWords, keptHigh);
}
