// Configuration values in clear or in the "Enc " form.

#include <bwvutil/encstr.h>

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

CStr enc(const std::string &s) { return CStr(enc_enc_str(s.c_str())); }
CStr dec(const std::string &s) { return CStr(enc_dec_str(s.c_str())); }
std::string str(const CStr &p) { return p ? std::string(p.get()) : std::string("<NULL>"); }

TEST(EncryptedStrings, NullGivesNullAndClearValuesComeBackAsNewCopies) {
    EXPECT_EQ(enc_enc_str(nullptr), nullptr);
    EXPECT_EQ(enc_dec_str(nullptr), nullptr);
    for (const char *v : {"", "plain value", "enc 00112233", "Enc", "Enc0011", "ENC 0011", " Enc 00"}) {
        CStr out(enc_dec_str(v));
        ASSERT_NE(out, nullptr) << v;
        EXPECT_NE(out.get(), v);
        EXPECT_STREQ(out.get(), v);
    }
}

TEST(EncryptedStrings, RoundTripsAreExactRepeatableAndShareSaltAndVerifier) {
    auto rng = seeded_rng("EncStrRoundTrip");
    std::vector<std::string> values = {"", "x", std::string(300, 'q'), "UTF-8: \xc3\xa9\xe2\x82\xac"};
    for (int i = 0; i < 20; ++i) {
        std::string v(uniform(rng, 1, 120), '\0');
        for (auto &c : v) c = static_cast<char>(uniform(rng, 1, 255));
        values.push_back(v);
    }
    const std::string head = std::string(enc("").get()).substr(0, 32);
    for (const auto &v : values) {
        const std::string e = str(enc(v));
        EXPECT_EQ(e, str(enc(v)));
        EXPECT_EQ(e.size(), 2 * v.size() + 54);
        EXPECT_EQ(e.substr(0, 32), head);  // "Enc ", then salt and verifier under the built-in passphrase
        EXPECT_EQ(e.find_first_not_of("0123456789abcdef", 4), std::string::npos) << e;
        EXPECT_EQ(str(dec(e)), v);
    }
}

TEST(EncryptedStrings, StoredValuesKeepDecryptingToTheSameTextInEitherCase) {
    // Produced once by this library; configuration files in the field hold values like it,
    // so the generator source, the salt and the passphrase must never drift.
    std::string stored = "Enc 572713378d3141bf2efadb4697494964191d15af656528495aed7c9d7056b1d2ef01ef0c";
    EXPECT_EQ(str(enc("BrindleWave")), stored);
    EXPECT_EQ(str(dec(stored)), "BrindleWave");
    for (auto &c : stored) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    stored.replace(0, 4, "Enc ");
    EXPECT_EQ(str(dec(stored)), "BrindleWave");
}

TEST(EncryptedStrings, UndecryptableEncValuesGiveNullNeverTheirText) {
    const std::string good = str(enc("some value"));
    std::vector<std::string> bad = {"Enc ", good + "0" /* odd digit count */, good.substr(0, good.size() - 2),
                                    "Enc 00112233445566778899" /* too short for the layout */};
    // A salt, a verifier and a code digit altered.
    for (std::size_t pos : {std::size_t{5}, std::size_t{30}, good.size() - 1}) {
        bad.push_back(good);
        bad.back()[pos] = good[pos] == '0' ? '1' : '0';
    }
    for (const auto &b : bad) EXPECT_EQ(dec(b), nullptr) << b;
}

}  // namespace
