// The session cipher: key schedule, block function and CFB-64.
#include "web/HBlowFish.h"

#include <cstring>

#include "web/BlowfishPi.h"

namespace {

uint32_t LoadBigEndian(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void StoreBigEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

TBlowFish::TBlowFish() = default;

TBlowFish::~TBlowFish() {
    // The key must not linger in freed memory.
    volatile char* k = FKey.data();
    for (size_t i = 0; i < FKey.size(); ++i) k[i] = 0;
}

uint32_t TBlowFish::F(uint32_t x) const {
    return ((FS[0][x >> 24] + FS[1][(x >> 16) & 0xFF]) ^ FS[2][(x >> 8) & 0xFF]) + FS[3][x & 0xFF];
}

void TBlowFish::EncryptWords(uint32_t& L, uint32_t& R) const {
    uint32_t l = L, r = R;
    for (int i = 0; i < 16; i += 2) {
        l ^= FP[i];
        r ^= F(l);
        r ^= FP[i + 1];
        l ^= F(r);
    }
    l ^= FP[16];
    r ^= FP[17];
    // The halves leave swapped.
    L = r;
    R = l;
}

void TBlowFish::EncryptBlock(uint8_t* Block) const {
    uint32_t l = LoadBigEndian(Block), r = LoadBigEndian(Block + 4);
    EncryptWords(l, r);
    StoreBigEndian(Block, l);
    StoreBigEndian(Block + 4, r);
}

void TBlowFish::InitKey() {
    if (FKey.size() < 8 || FKey.size() > 65) throw Exception("Blowfish keylength out of range");
    size_t w = 0;
    for (auto& p : FP) p = BlowfishPiWords[w++];
    for (auto& box : FS)
        for (auto& s : box) s = BlowfishPiWords[w++];

    const auto* key = reinterpret_cast<const uint8_t*>(FKey.data());
    size_t j = 0;
    for (auto& p : FP) {
        uint32_t data = 0;
        for (int k = 0; k < 4; ++k) {
            data = (data << 8) | key[j];
            j = (j + 1) % FKey.size();
        }
        p ^= data;
    }
    uint32_t l = 0, r = 0;
    for (size_t i = 0; i < FP.size(); i += 2) {
        EncryptWords(l, r);
        FP[i] = l;
        FP[i + 1] = r;
    }
    for (auto& box : FS)
        for (size_t i = 0; i < box.size(); i += 2) {
            EncryptWords(l, r);
            box[i] = l;
            box[i + 1] = r;
        }
}

std::string TBlowFish::Encrypt(const std::string& PlainText) {
    InitKey();
    // The shift register starts as the IV, cut or padded with zero bytes to one block.
    std::string iv = FIV.empty() ? std::string(DefaultBlowfishIV) : FIV;
    iv.resize(8, '\0');
    uint8_t reg[8];
    std::memcpy(reg, iv.data(), 8);

    std::string out(PlainText);
    auto* data = reinterpret_cast<uint8_t*>(out.data());
    for (size_t pos = 0; pos < out.size(); pos += 8) {
        const size_t n = std::min<size_t>(8, out.size() - pos);
        uint8_t pad[8];
        std::memcpy(pad, reg, 8);
        EncryptBlock(pad);
        for (size_t i = 0; i < n; ++i) data[pos + i] ^= pad[i];
        if (n == 8) {
            std::memcpy(reg, data + pos, 8);
        } else {
            std::memmove(reg, reg + n, 8 - n);
            std::memcpy(reg + 8 - n, data + pos, n);
        }
    }
    return out;
}
