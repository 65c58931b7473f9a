#pragma once
// The database library's heap: zero-filled blocks, out-of-memory raised as engine error
// 11016, and a compaction of the heap after every 1020 resizes or releases.
#include <cstdint>

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
void SetBlockBufferSize(int32_t size, int32_t blockSize, void*& buffer, int32_t& capacity);
template <class T>
void SetBlockBufferSize(int32_t size, int32_t blockSize, T*& buffer, int32_t& capacity) {
    void* p = buffer;
    SetBlockBufferSize(size, blockSize, p, capacity);
    buffer = static_cast<T*>(p);
}

// Resizes and releases counted since the last compaction, and compactions done.
uint32_t GetHeapCompactionCounter();
uint32_t GetHeapCompactions();
void ResetHeapCompactionCounter();
