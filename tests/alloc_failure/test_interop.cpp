#include <bwvutil/dic.h>
#include <bwvutil/gmsg.h>

#include "fixture.hpp"
#include "platform/core/plobj.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace bwv::test::alloc;
using AllocFailureInterop = AllocFailure;
namespace pl = bwv::pl;
namespace fs = std::filesystem;

std::vector<fs::path> files_in(const std::string &sub)
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(fs::path(BWV_INTEROP_DIR) / sub, ec))
        if (e.is_regular_file())
            out.push_back(e.path());
    return out;
}

// Property lists written by the platform itself take the conversion paths our own
// samples do not (dates, reals, large integers, UIDs).
TEST_F(AllocFailureInterop, PlatformWrittenPropertyListsLoadWholeOrNotAtAll)
{
    auto files = files_in("xml-plists");
    auto binary = files_in("binary-plists");
    files.insert(files.end(), binary.begin(), binary.end());
    ASSERT_FALSE(files.empty()) << "no interop corpus at " << BWV_INTEROP_DIR;
    for (const auto &f : files) {
        dic *reference = dic_load_from_file(f.c_str());
        if (!reference)
            continue;
        exhaust("dic_load_from_file " + f.filename().string(), [&](Attempt &run) {
            dic *d = nullptr;
            run.during([&] { d = dic_load_from_file(f.c_str()); });
            if (d) {
                EXPECT_TRUE(pl::equal(d->ref, reference->ref));
            } else {
                EXPECT_TRUE(run.failed());
            }
            dic_destroy(d);
        });
        dic_destroy(reference);
    }
}

TEST_F(AllocFailureInterop, PlatformWrittenArchivesParseAndArchiveWholeOrNotAtAll)
{
    auto files = files_in("keyed-archives");
    ASSERT_FALSE(files.empty()) << "no interop corpus at " << BWV_INTEROP_DIR;
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::string archive((std::istreambuf_iterator<char>(in)), {});
        // The header a peer puts in front; the types inside the archive are what count.
        std::string buffer(12, '\0');
        buffer += archive;
        buffer += '\0';
        gmsg *reference = gmsg_parse_buffer(buffer.data(), static_cast<int>(buffer.size()));
        ASSERT_NE(reference, nullptr);
        exhaust("gmsg_parse_buffer " + f.filename().string(), [&](Attempt &run) {
            gmsg *m = nullptr;
            run.during([&] { m = gmsg_parse_buffer(buffer.data(), static_cast<int>(buffer.size())); });
            if (m) {
                EXPECT_TRUE(pl::equal(gmsg_content(m), gmsg_content(reference)));
                EXPECT_EQ(m->c_type, reference->c_type);
                EXPECT_EQ(m->m_type, reference->m_type);
            } else {
                EXPECT_TRUE(run.failed());
            }
            gmsg_release(m);
        });
        uint32_t ref_len = 0;
        void *again = gmsg_gen_buffer(reference, &ref_len);
        if (again) {
            exhaust("gmsg_gen_buffer " + f.filename().string(), [&](Attempt &run) {
                uint32_t len = 0;
                void *buf = nullptr;
                run.during([&] { buf = gmsg_gen_buffer(reference, &len); });
                if (buf) {
                    EXPECT_EQ(len, ref_len);
                    EXPECT_EQ(std::string(static_cast<char *>(buf), len),
                              std::string(static_cast<char *>(again), ref_len));
                } else {
                    EXPECT_TRUE(run.failed());
                }
                free(buf);
            });
            free(again);
        }
        gmsg_release(reference);
    }
}

}  // namespace
