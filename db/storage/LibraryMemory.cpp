#include "db/storage/LibraryMemory.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "db/storage/EngineErrors.h"

namespace {

// Each block carries its requested size in front so that a resize can zero exactly the
// bytes beyond the old size.
constexpr size_t HeaderSize = 16;
constexpr uint32_t CompactionRhythm = 1020;

std::atomic<uint32_t> CompactionCounter{0};
std::atomic<uint32_t> Compactions{0};

// Trimming walks every free chunk of the heap and gives its whole pages back one system call
// each. A compaction after less than this was released since the last one has little to
// give back (the allocator returns the heap's top by itself) and skips the walk.
constexpr size_t CompactionMinimumReleased = 256 * 1024;
std::atomic<size_t> ReleasedBytes{0};

// Inside a release batch of this thread the walk waits for the batch's end and runs once.
thread_local int32_t BatchDepth = 0;
thread_local bool TrimDeferred = false;

void Trim() {
    if (BatchDepth > 0)
        TrimDeferred = true;
    else
        malloc_trim(0);
}

size_t& BlockSize(void* block) {
    return *reinterpret_cast<size_t*>(static_cast<char*>(block) - HeaderSize);
}

void CountAndCompact() {
    uint32_t n = CompactionCounter.fetch_add(1) + 1;
    if (n >= CompactionRhythm) {
        // Only the thread that hit the mark compacts and restarts the count.
        uint32_t expected = n;
        if (CompactionCounter.compare_exchange_strong(expected, 0)) {
            if (ReleasedBytes.exchange(0) >= CompactionMinimumReleased) Trim();
            Compactions.fetch_add(1);
        }
    }
}

std::atomic<THeapRefusal> Refusal{nullptr};

bool Refused(int32_t size) {
    const THeapRefusal refusal = Refusal.load(std::memory_order_relaxed);
    return refusal && refusal(size);
}

}  // namespace

void SetHeapRefusal(THeapRefusal refusal) {
    Refusal.store(refusal);
}

void* AllocMemory(int32_t size) {
    if (size < 0) return nullptr;
    char* p =
        Refused(size) ? nullptr : static_cast<char*>(std::calloc(1, HeaderSize + static_cast<size_t>(size)));
    if (!p) {
        if (size >= 1) RaiseEngineError(ZIZIVU_OSNOMEMORY);
        return nullptr;
    }
    *reinterpret_cast<size_t*>(p) = static_cast<size_t>(size);
    return p + HeaderSize;
}

void* ResizeMemory(void* block, int32_t size) {
    if (!block) return AllocMemory(size);
    void* result = nullptr;
    if (size >= 0) {
        size_t oldSize = BlockSize(block);
        char* base = static_cast<char*>(block) - HeaderSize;
        char* p = static_cast<size_t>(size) > oldSize && Refused(size)
                      ? nullptr
                      : static_cast<char*>(std::realloc(base, HeaderSize + static_cast<size_t>(size)));
        if (p) {
            if (p != base)
                ReleasedBytes.fetch_add(HeaderSize + oldSize);
            else if (static_cast<size_t>(size) < oldSize)
                ReleasedBytes.fetch_add(oldSize - static_cast<size_t>(size));
            if (static_cast<size_t>(size) > oldSize) std::memset(p + HeaderSize + oldSize, 0, size - oldSize);
            *reinterpret_cast<size_t*>(p) = static_cast<size_t>(size);
            result = p + HeaderSize;
        }
    }
    if (!result && size >= 1) RaiseEngineError(ZIZIVU_OSNOMEMORY);
    CountAndCompact();
    return result;
}

void FreeMemory(void*& block) {
    if (!block) return;
    ReleasedBytes.fetch_add(HeaderSize + BlockSize(block));
    std::free(static_cast<char*>(block) - HeaderSize);
    block = nullptr;
    CountAndCompact();
}

void ResizeBlockBuffer(int32_t size, int32_t blockSize, void*& buffer, int32_t& capacity) {
    if (size >= 1) {
        const int64_t rounded = RoundToBlocks(size, blockSize);
        // A block count past the 32-bit size cannot be had.
        if (rounded > INT32_MAX) RaiseEngineError(ZIZIVU_OSNOMEMORY);
        if (rounded > capacity) {
            buffer = capacity == 0 || !buffer ? AllocMemory(static_cast<int32_t>(rounded))
                                              : ResizeMemory(buffer, static_cast<int32_t>(rounded));
            capacity = static_cast<int32_t>(rounded);
        }
    } else if (capacity > 0) {
        FreeMemory(buffer);
        buffer = nullptr;
        capacity = 0;
    }
}

THeapReleaseBatch::THeapReleaseBatch() {
    ++BatchDepth;
}

THeapReleaseBatch::~THeapReleaseBatch() {
    if (--BatchDepth == 0 && TrimDeferred) {
        TrimDeferred = false;
        malloc_trim(0);
    }
}

uint32_t GetHeapCompactionCounter() {
    return CompactionCounter.load();
}
uint32_t GetHeapCompactions() {
    return Compactions.load();
}
void ResetHeapCompactionCounter() {
    CompactionCounter.store(0);
}
