// Configuration values in clear or in the "Enc " form.

#include <bwvutil/encstr.h>
#include <bwvutil/fcrypt.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "crypto_test_util.hpp"

using namespace bwv_test;

namespace {

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using CStr = std::unique_ptr<char, FreeDeleter>;

CStr enc(const char *s) { return CStr(enc_enc_str(s)); }
CStr dec(const char *s) { return CStr(enc_dec_str(s)); }
std::string str(const CStr &p) { return p ? std::string(p.get()) : std::string("<NULL>"); }

TEST(EncryptedStrings, NullGivesNullFromBoth) {
    EXPECT_EQ(enc_enc_str(nullptr), nullptr);
    EXPECT_EQ(enc_dec_str(nullptr), nullptr);
}

TEST(EncryptedStrings, ClearValuesComeBackAsNewIdenticalCopies) {
    for (const char *v : {"", "plain value", "enc 00112233", "Enc", "Enc0011", "ENC 0011", " Enc 00"}) {
        CStr out = dec(v);
        ASSERT_NE(out, nullptr) << v;
        EXPECT_NE(out.get(), v);
        EXPECT_STREQ(out.get(), v);
    }
}

TEST(EncryptedStrings, EmptyStringEncryptsToFiftyDigitsAndBack) {
    CStr e = enc("");
    ASSERT_NE(e, nullptr);
    const std::string s = e.get();
    ASSERT_EQ(s.size(), 4u + 50u);
    EXPECT_EQ(s.substr(0, 4), "Enc ");
    for (char c : s.substr(4)) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f')) << s;
    EXPECT_EQ(str(dec(s.c_str())), "");
}

TEST(EncryptedStrings, RoundTripsAreExactAndRepeatable) {
    auto rng = seeded_rng("EncStrRoundTrip");
    std::vector<std::string> values = {"x", "s3cr3t password", std::string(300, 'q'), "UTF-8: \xc3\xa9\xe2\x82\xac"};
    for (int i = 0; i < 20; ++i) {
        std::string v;
        const std::size_t n = uniform(rng, 1, 120);
        for (std::size_t k = 0; k < n; ++k) v += static_cast<char>(uniform(rng, 1, 255));
        values.push_back(v);
    }
    std::string salt_and_verifier;
    for (const auto &v : values) {
        CStr e1 = enc(v.c_str()), e2 = enc(v.c_str());
        ASSERT_NE(e1, nullptr);
        EXPECT_EQ(std::strlen(e1.get()), 2 * v.size() + 54);
        EXPECT_STREQ(e1.get(), e2.get());
        EXPECT_EQ(str(dec(e1.get())), v);
        // Salt and verifier are the same in every value under the built-in passphrase.
        const std::string head = std::string(e1.get()).substr(4, 28);
        if (salt_and_verifier.empty()) salt_and_verifier = head;
        EXPECT_EQ(head, salt_and_verifier);
    }
}

TEST(EncryptedStrings, StoredValuesKeepDecryptingToTheSameText) {
    // Produced once by this library; configuration files in the field hold values like it,
    // so the generator source, the salt and the passphrase must never drift.
    const char *stored = "Enc 572713378d3141bf2efadb4697494964191d15af656528495aed7c9d7056b1d2ef01ef0c";
    CStr e = enc("BrindleWave");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e.get(), stored);
    EXPECT_EQ(str(dec(stored)), "BrindleWave");
}

TEST(EncryptedStrings, UpperCaseDigitsReadTheSame) {
    CStr e = enc("Mixed Case Digits");
    std::string upper = e.get();
    for (std::size_t i = 4; i < upper.size(); ++i) upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    EXPECT_EQ(str(dec(upper.c_str())), "Mixed Case Digits");
}

TEST(EncryptedStrings, UndecryptableEncValuesGiveNullNeverTheirText) {
    const std::string good = enc("some value").get();
    std::vector<std::string> bad = {"Enc ", good + "0" /* odd digit count */, good.substr(0, good.size() - 2),
                                    "Enc 00112233445566778899" /* too short for the layout */};
    for (std::size_t pos : {std::size_t{5}, std::size_t{30}, good.size() - 1}) {
        bad.push_back(good);
        bad.back()[pos] = good[pos] == '0' ? '1' : '0';
    }
    for (const auto &b : bad) EXPECT_EQ(dec(b.c_str()), nullptr) << b;

    // The same layout under another 38-character passphrase.
    const char other[] = "another_passphrase_of_thirty-eight_chr";
    ASSERT_EQ(std::strlen(other), 38u);
    unsigned char bytes[64];
    int blen = sizeof bytes;
    ASSERT_EQ(encrypt_buffer(reinterpret_cast<const unsigned char *>("some value"), 11, bytes, &blen, other), 0);
    char text[200] = "Enc ";
    int tlen = sizeof text - 4;
    ASSERT_EQ(bin2hex(bytes, blen, text + 4, &tlen), 0);
    EXPECT_EQ(dec(text), nullptr);
}

}  // namespace
