// The session cipher against the published test vectors and, for CFB, against libcrypto.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "tests/web/WebTestSupport.h"
#include "web/HBlowFish.h"

namespace {

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

struct TEcbVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// The cipher's published table of 8-byte keys.
const TEcbVector EcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(BlowfishTest, PublishedEcbVectors) {
    for (const auto& v : EcbVectors) {
        TBlowFish bf;
        bf.SetKey(FromHex(v.key));
        bf.InitKey();
        std::string block = FromHex(v.plain);
        bf.EncryptBlock(reinterpret_cast<uint8_t*>(block.data()));
        EXPECT_EQ(ToHex(block), v.cipher) << "key " << v.key << " plain " << v.plain;
    }
}

TEST(BlowfishTest, KeyLengthLimits) {
    const struct {
        size_t length;
        bool accepted;
    } cases[] = {{0, false}, {7, false}, {8, true}, {56, true}, {65, true}, {66, false}};
    for (const auto& c : cases) {
        TBlowFish bf;
        bf.SetKey(std::string(c.length, 'k'));
        if (c.accepted) {
            EXPECT_NO_THROW(bf.Encrypt("text")) << c.length;
        } else {
            try {
                bf.Encrypt("text");
                ADD_FAILURE() << "key of " << c.length << " characters accepted";
            } catch (const Exception& e) {
                EXPECT_EQ(e.Message(), "Blowfish keylength out of range");
            }
        }
    }
}

TEST(BlowfishTest, CfbKeepsLengthAndRestartsFromTheIV) {
    TBlowFish bf;
    bf.SetKey("5D1E83B0C47F2A96E0B3D58C17A4F62E");
    const std::string three = bf.Encrypt("abc");
    ASSERT_EQ(three.size(), 3u);
    EXPECT_NE(three, "abc");
    // Every call starts afresh: equal texts, equal ciphertexts; and CFB's stream is a prefix
    // property, so a longer text starts with the same bytes.
    EXPECT_EQ(bf.Encrypt("abc"), three);
    EXPECT_EQ(bf.Encrypt("abcdefghij").substr(0, 3), three);
    EXPECT_EQ(bf.Encrypt(""), "");
    // No IV is the default IV.
    TBlowFish defaults;
    defaults.SetKey(bf.Key());
    defaults.SetIV("");
    TBlowFish explicitIV;
    explicitIV.SetKey(bf.Key());
    explicitIV.SetIV(DefaultBlowfishIV);
    EXPECT_EQ(defaults.Encrypt("same text"), explicitIV.Encrypt("same text"));
}

#ifdef ZELTO_HAVE_LIBCRYPTO

TEST(BlowfishTest, CfbMatchesLibcrypto) {
    std::mt19937 gen(7);
    auto randomBytes = [&](size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) c = static_cast<char>(gen());
        return s;
    };
    const size_t keyLengths[] = {8, 13, 32, 56, 65};
    const std::string ivs[] = {DefaultBlowfishIV, "iv", "a much longer IV"};
    for (size_t keyLength : keyLengths)
        for (const std::string& iv : ivs)
            for (size_t n : {0, 1, 3, 7, 8, 9, 16, 17, 31, 64, 100}) {
                const std::string key = randomBytes(keyLength);
                const std::string plain = randomBytes(n);
                TBlowFish bf;
                bf.SetKey(key);
                bf.SetIV(iv);
                EXPECT_EQ(ToHex(bf.Encrypt(plain)), ToHex(OracleCfb(key, iv.substr(0, 8), plain, true)))
                    << "key length " << keyLength << ", IV '" << iv << "', " << n << " bytes";
            }
}

#endif

}  // namespace
