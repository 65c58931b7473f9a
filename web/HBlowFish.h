#pragma once
// The block cipher of the session files, encryption only: 64-bit blocks, 16 rounds,
// tables keyed from the hexadecimal digits of pi, and a CFB-64 mode that starts afresh
// from the IV for every call (so equal texts give equal ciphertexts).
#include <array>
#include <cstdint>
#include <string>

#include "platform/rtl/SysUtils.h"
#include "web/HUtils.h"

class TBlowFish : public TObject {
public:
    TBlowFish();
    // Overwrites the key before the memory goes.
    ~TBlowFish() override;

    const std::string& Key() const { return FKey; }
    void SetKey(const std::string& Key) { FKey = Key; }
    const std::string& IV() const { return FIV; }
    void SetIV(const std::string& IV) { FIV = IV; }
    uint8_t BlockSize() const { return FBlockSize; }

    // Checks the key (8 to 65 characters, else "Blowfish keylength out of range"), loads
    // the initial tables and runs the key schedule.
    void InitKey();
    // Encrypts one 8-byte block in place (after InitKey).
    void EncryptBlock(uint8_t* Block) const;
    // CFB-64 ciphertext of PlainText, the same length; keys the tables afresh first.
    std::string Encrypt(const std::string& PlainText);

private:
    void EncryptWords(uint32_t& L, uint32_t& R) const;
    uint32_t F(uint32_t x) const;

    std::array<uint32_t, 18> FP{};
    std::array<std::array<uint32_t, 256>, 4> FS{};
    std::string FIV;
    std::string FKey;
    uint8_t FBlockSize = 8;
};
