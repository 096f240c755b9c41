#include <bwvutil/encstr.h>
#include <bwvutil/fcrypt.h>

#include "fixture.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace bwv::test::alloc;
using AllocFailureCrypto = AllocFailure;

constexpr char kPassword[] = "correct horse battery";

std::vector<unsigned char> plain_bytes()
{
    std::vector<unsigned char> v(100);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<unsigned char>(i * 7);
    return v;
}

TEST_F(AllocFailureCrypto, BufferEncryptionNeedsNoMemory)
{
    const auto plain = plain_bytes();
    long failing_runs = exhaust("encrypt_buffer and decrypt_buffer", [&](Attempt &run) {
        std::vector<unsigned char> sealed(plain.size() + FCRYPT_MAX_OVERHEAD);
        std::vector<unsigned char> opened(sealed.size() + 20);
        int sealed_len = static_cast<int>(sealed.size());
        int opened_len = static_cast<int>(opened.size());
        int enc = 1, dec = 1;
        run.during([&] {
            enc = encrypt_buffer(plain.data(), static_cast<int>(plain.size()), sealed.data(),
                                 &sealed_len, kPassword);
            dec = decrypt_buffer(sealed.data(), sealed_len, opened.data(), &opened_len, kPassword);
        });
        EXPECT_EQ(enc, 0);
        EXPECT_EQ(dec, 0);
        ASSERT_EQ(opened_len, static_cast<int>(plain.size()));
        EXPECT_EQ(std::memcmp(opened.data(), plain.data(), plain.size()), 0);
    });
    // They work on the caller's buffers alone, so there is nothing that could fail.
    EXPECT_EQ(failing_runs, 0);
}

TEST_F(AllocFailureCrypto, AnEncryptedStringIsWholeOrNull)
{
    char *reference = enc_enc_str("secret value");
    ASSERT_NE(reference, nullptr);
    exhaust("enc_enc_str", [&](Attempt &run) {
        char *s = nullptr;
        run.during([&] { s = enc_enc_str("secret value"); });
        if (s) {
            EXPECT_STREQ(s, reference);
        } else {
            EXPECT_TRUE(run.failed());
        }
        free(s);
    });
    exhaust("enc_dec_str of an encrypted value", [&](Attempt &run) {
        char *s = nullptr;
        run.during([&] { s = enc_dec_str(reference); });
        if (s) {
            EXPECT_STREQ(s, "secret value");
        } else {
            EXPECT_TRUE(run.failed());
        }
        free(s);
    });
    exhaust("enc_dec_str of a clear value", [&](Attempt &run) {
        char *s = nullptr;
        run.during([&] { s = enc_dec_str("plain text"); });
        if (s) {
            EXPECT_STREQ(s, "plain text");
        } else {
            EXPECT_TRUE(run.failed());
        }
        free(s);
    });
    free(reference);
}

class AllocFailureCryptoFiles : public AllocFailureInDir {
protected:
    void SetUp() override
    {
        AllocFailureInDir::SetUp();
        if (IsSkipped())
            return;
        in_ = dir_ + "/in.bin";
        out_ = dir_ + "/out.bin";
        const auto plain = plain_bytes();
        std::ofstream(in_, std::ios::binary)
            .write(reinterpret_cast<const char *>(plain.data()), static_cast<std::streamsize>(plain.size()));
    }
    std::string in_, out_;
};

std::string contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(AllocFailureCryptoFiles, AFailedFileEncryptionLeavesNoCipherText)
{
    const auto plain = plain_bytes();
    exhaust("encrypt_file", [&](Attempt &run) {
        unlink(out_.c_str());
        int rc = 1;
        run.during([&] { rc = encrypt_file(in_.c_str(), out_.c_str(), kPassword); });
        struct stat st;
        bool exists = stat(out_.c_str(), &st) == 0;
        if (rc == 0) {
            std::string sealed = contents(out_);
            std::vector<unsigned char> opened(sealed.size() + 20);
            int opened_len = static_cast<int>(opened.size());
            ASSERT_EQ(decrypt_buffer(reinterpret_cast<const unsigned char *>(sealed.data()),
                                     static_cast<int>(sealed.size()), opened.data(), &opened_len,
                                     kPassword),
                      0);
            EXPECT_EQ(opened_len, static_cast<int>(plain.size()));
            return;
        }
        EXPECT_TRUE(run.failed()) << rc;
        // Running out of memory shows as one of the file codes; which one depends on where
        // the C library needed memory (opening a stream allocates too).
        EXPECT_TRUE(rc == FCRYPT_ERR_OPEN_INPUT || rc == FCRYPT_ERR_READ_INPUT ||
                    rc == FCRYPT_ERR_NO_MEMORY || rc == FCRYPT_ERR_CREATE_OUTPUT ||
                    rc == FCRYPT_ERR_WRITE_OUTPUT)
            << rc;
        if (rc == FCRYPT_ERR_OPEN_INPUT || rc == FCRYPT_ERR_READ_INPUT) {
            EXPECT_FALSE(exists) << "output created although the input was never read";
        }
        if (exists) {
            EXPECT_EQ(st.st_size, 0) << "a failed run left bytes in the output";
        }
    });
}

}  // namespace
