#pragma once
// The database library's heap: zero-filled blocks, out-of-memory raised as engine error
// 11016, and a compaction of the heap after every 1020 resizes or releases.
#include <cstdint>
#include <memory>

// Zero-filled block of at least size bytes; raises 11016 when memory runs out (size >= 1).
// A size below 0 yields nil.
void* AllocMemory(int32_t size);
// Resized block; bytes beyond the old size are zero. Raises 11016 as AllocMemory.
void* ResizeMemory(void* block, int32_t size);
// Releases the block and sets the pointer to nil; nil is left alone.
void FreeMemory(void*& block);
template <class T>
void FreeMemory(T*& block) {
    void* p = block;
    FreeMemory(p);
    block = nullptr;
}

// Work buffers sized in whole blocks that never shrink: a size of 1 or more is rounded
// up to the block size and the buffer grows when that exceeds the capacity; a size of 0
// or less releases the buffer.
void ResizeBlockBuffer(int32_t size, int32_t blockSize, void*& buffer, int32_t& capacity);
// A size of 1 or more rounded up to whole blocks.
inline int64_t RoundToBlocks(int32_t size, int32_t blockSize) {
    int64_t rounded = size;
    if (blockSize > 0 && rounded % blockSize != 0) rounded = (rounded / blockSize + 1) * blockSize;
    return rounded;
}
// A buffer that already holds the rounded size is left as it is without a call (buffers are
// sized again for every record and value that passes through them).
inline void SetBlockBufferSize(int32_t size, int32_t blockSize, void*& buffer, int32_t& capacity) {
    if (size >= 1 && size <= capacity && RoundToBlocks(size, blockSize) <= capacity) return;
    ResizeBlockBuffer(size, blockSize, buffer, capacity);
}
template <class T>
void SetBlockBufferSize(int32_t size, int32_t blockSize, T*& buffer, int32_t& capacity) {
    void* p = buffer;
    SetBlockBufferSize(size, blockSize, p, capacity);
    buffer = static_cast<T*>(p);
}

// A block of the library heap owned by its holder, released with FreeMemory (T[] for a
// buffer of T).
struct TLibraryMemoryDeleter {
    void operator()(void* block) const { FreeMemory(block); }
};
template <class T>
using TLibraryPtr = std::unique_ptr<T, TLibraryMemoryDeleter>;

// ResizeMemory and SetBlockBufferSize for an owned block, which stays owned when they raise.
template <class T>
void ResizeMemory(TLibraryPtr<T>& block, int32_t size) {
    void* p = ResizeMemory(static_cast<void*>(block.get()), size);
    (void)block.release();
    block.reset(static_cast<typename TLibraryPtr<T>::pointer>(p));
}
template <class T>
void SetBlockBufferSize(int32_t size, int32_t blockSize, TLibraryPtr<T>& buffer, int32_t& capacity) {
    void* p = buffer.get();
    SetBlockBufferSize(size, blockSize, p, capacity);
    if (p == buffer.get()) return;
    (void)buffer.release();
    buffer.reset(static_cast<typename TLibraryPtr<T>::pointer>(p));
}

// Held while many blocks are released at once (a cache or a pool torn down): the compactions
// still fall every 1020 releases, but the heap walk they start runs once, when the last
// batch of the thread ends, instead of once per 1020 blocks.
class THeapReleaseBatch {
public:
    THeapReleaseBatch();
    ~THeapReleaseBatch();
    THeapReleaseBatch(const THeapReleaseBatch&) = delete;
    THeapReleaseBatch& operator=(const THeapReleaseBatch&) = delete;
};

// Tests: a heap that runs out. While a refusal is set, every allocation and every growth of
// a block asks it first (with the size wanted), and a true answer is taken as the heap's
// "no memory". nullptr takes the refusal away.
using THeapRefusal = bool (*)(int32_t size);
void SetHeapRefusal(THeapRefusal refusal);

// Resizes and releases counted since the last compaction, and compactions done.
uint32_t GetHeapCompactionCounter();
uint32_t GetHeapCompactions();
void ResetHeapCompactionCounter();
