#pragma once
// Little-endian byte layouts. Every structure that reaches a file or the radio is written
// and read field by field through these helpers, never by copying a struct, so the layout
// does not depend on the compiler's padding or the host's byte order.
//
// - PutU16/GetU16 ... : one value at a raw position the caller has checked.
// - TByteWriter: writes at a moving position into a fixed buffer (overrun raises
//   EWriteError) or appends to a string.
// - TByteReader: reads at a moving position from a fixed buffer; overrun raises EReadError.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/rtl/SysUtils.h"

namespace bytes {

inline void PutU8(uint8_t* p, uint8_t v) { p[0] = v; }
inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
// A 24-bit field: the low three bytes of `v`.
inline void PutU24(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 3; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutI16(uint8_t* p, int16_t v) { PutU16(p, uint16_t(v)); }
inline void PutI32(uint8_t* p, int32_t v) { PutU32(p, uint32_t(v)); }
inline void PutI64(uint8_t* p, int64_t v) { PutU64(p, uint64_t(v)); }
inline void PutF64(uint8_t* p, double v) { PutU64(p, std::bit_cast<uint64_t>(v)); }

inline uint8_t GetU8(const uint8_t* p) { return p[0]; }
inline uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t GetU24(const uint8_t* p) { return uint32_t(p[0] | (p[1] << 8) | (p[2] << 16)); }
inline uint32_t GetU32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline uint64_t GetU64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline int16_t GetI16(const uint8_t* p) { return int16_t(GetU16(p)); }
inline int32_t GetI32(const uint8_t* p) { return int32_t(GetU32(p)); }
inline int64_t GetI64(const uint8_t* p) { return int64_t(GetU64(p)); }
inline double GetF64(const uint8_t* p) { return std::bit_cast<double>(GetU64(p)); }

// Extended: the 10-byte x87 format (64-bit mantissa, sign and 15-bit exponent). The value
// is copied from the host's long double, which has that layout only on x86 little-endian.
constexpr size_t ExtendedSize = 10;
#if (defined(__x86_64__) || defined(__i386__)) && __LDBL_MANT_DIG__ == 64
static_assert(std::endian::native == std::endian::little, "the Extended layout is copied from the host");
inline void PutF80(uint8_t* p, long double v) {
    unsigned char raw[sizeof(long double)] = {};
    std::memcpy(raw, &v, sizeof v < ExtendedSize ? sizeof v : ExtendedSize);
    std::memcpy(p, raw, ExtendedSize);
}
inline long double GetF80(const uint8_t* p) {
    unsigned char raw[sizeof(long double)] = {};
    std::memcpy(raw, p, ExtendedSize);
    long double v;
    std::memcpy(&v, raw, sizeof v);
    return v;
}
#else
#error "Extended values need the host's 80-bit long double"
#endif

}  // namespace bytes

class TByteWriter {
public:
    // Writes into `size` bytes at `buffer`, from position 0.
    TByteWriter(void* buffer, size_t size) : FBuf(static_cast<uint8_t*>(buffer)), FSize(size) {}
    // Appends to `target`, which grows as needed.
    explicit TByteWriter(std::string& target) : FTarget(&target), FPos(target.size()) {}

    TByteWriter& U8(uint8_t v) { return Put(1, [&](uint8_t* p) { bytes::PutU8(p, v); }); }
    TByteWriter& U16(uint16_t v) { return Put(2, [&](uint8_t* p) { bytes::PutU16(p, v); }); }
    TByteWriter& U24(uint32_t v) { return Put(3, [&](uint8_t* p) { bytes::PutU24(p, v); }); }
    TByteWriter& U32(uint32_t v) { return Put(4, [&](uint8_t* p) { bytes::PutU32(p, v); }); }
    TByteWriter& U64(uint64_t v) { return Put(8, [&](uint8_t* p) { bytes::PutU64(p, v); }); }
    TByteWriter& I16(int16_t v) { return U16(uint16_t(v)); }
    TByteWriter& I32(int32_t v) { return U32(uint32_t(v)); }
    TByteWriter& I64(int64_t v) { return U64(uint64_t(v)); }
    TByteWriter& F64(double v) { return U64(std::bit_cast<uint64_t>(v)); }
    TByteWriter& F80(long double v) {
        return Put(bytes::ExtendedSize, [&](uint8_t* p) { bytes::PutF80(p, v); });
    }
    TByteWriter& Bool(bool v) { return U8(v ? 1 : 0); }
    TByteWriter& Bytes(const void* data, size_t count) {
        return Put(count, [&](uint8_t* p) {
            if (count) std::memcpy(p, data, count);
        });
    }
    TByteWriter& Zeros(size_t count) {
        return Put(count, [&](uint8_t* p) {
            if (count) std::memset(p, 0, count);
        });
    }
    // A short string of capacity `capacity`: the length byte, then `capacity` bytes of
    // text, zero-padded; text beyond the capacity is cut.
    TByteWriter& ShortString(const std::string& s, size_t capacity) {
        const size_t n = s.size() < capacity ? s.size() : capacity;
        U8(uint8_t(n));
        Bytes(s.data(), n);
        return Zeros(capacity - n);
    }

    size_t Pos() const { return FPos; }
    // Moves the position; a fixed buffer refuses a position past its end.
    void SetPos(size_t pos) {
        if (!FTarget && pos > FSize) throw EWriteError("Byte layout position out of range");
        FPos = pos;
    }
    void Skip(size_t count) { SetPos(FPos + count); }

private:
    template <typename F>
    TByteWriter& Put(size_t count, F&& f) {
        uint8_t* p;
        if (FTarget) {
            if (FTarget->size() < FPos + count) FTarget->resize(FPos + count, '\0');
            p = reinterpret_cast<uint8_t*>(FTarget->data()) + FPos;
        } else {
            if (count > FSize - FPos) throw EWriteError("Byte layout overrun");
            p = FBuf + FPos;
        }
        f(p);
        FPos += count;
        return *this;
    }

    uint8_t* FBuf = nullptr;
    size_t FSize = 0;
    std::string* FTarget = nullptr;
    size_t FPos = 0;
};

class TByteReader {
public:
    TByteReader(const void* buffer, size_t size) : FBuf(static_cast<const uint8_t*>(buffer)), FSize(size) {}
    explicit TByteReader(const std::string& s) : TByteReader(s.data(), s.size()) {}

    uint8_t U8() { return bytes::GetU8(Take(1)); }
    uint16_t U16() { return bytes::GetU16(Take(2)); }
    uint32_t U24() { return bytes::GetU24(Take(3)); }
    uint32_t U32() { return bytes::GetU32(Take(4)); }
    uint64_t U64() { return bytes::GetU64(Take(8)); }
    int16_t I16() { return int16_t(U16()); }
    int32_t I32() { return int32_t(U32()); }
    int64_t I64() { return int64_t(U64()); }
    double F64() { return std::bit_cast<double>(U64()); }
    long double F80() { return bytes::GetF80(Take(bytes::ExtendedSize)); }
    bool Bool() { return U8() != 0; }
    void Bytes(void* out, size_t count) {
        const uint8_t* p = Take(count);
        if (count) std::memcpy(out, p, count);
    }
    std::string Bytes(size_t count) {
        const uint8_t* p = Take(count);
        return std::string(reinterpret_cast<const char*>(p), count);
    }
    // A short string of capacity `capacity` (N + 1 bytes); a length byte above the
    // capacity is cut to it.
    std::string ShortString(size_t capacity) {
        const uint8_t* p = Take(capacity + 1);
        const size_t n = p[0] < capacity ? p[0] : capacity;
        return std::string(reinterpret_cast<const char*>(p + 1), n);
    }

    size_t Pos() const { return FPos; }
    size_t Size() const { return FSize; }
    size_t Remaining() const { return FSize - FPos; }
    void SetPos(size_t pos) {
        if (pos > FSize) throw EReadError("Byte layout position out of range");
        FPos = pos;
    }
    void Skip(size_t count) { Take(count); }

private:
    const uint8_t* Take(size_t count) {
        if (count > FSize - FPos) throw EReadError("Read past the end of a byte layout");
        const uint8_t* p = FBuf + FPos;
        FPos += count;
        return p;
    }

    const uint8_t* FBuf;
    size_t FSize;
    size_t FPos = 0;
};
