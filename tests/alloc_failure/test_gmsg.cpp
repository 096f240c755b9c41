#include <bwvutil/gmsg.h>

#include "fixture.hpp"
#include "platform/core/plobj.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace bwv::test::alloc;
namespace pl = bwv::pl;

class AllocFailureGmsg : public AllocFailure {
protected:
    static void SetUpTestSuite()
    {
        // The registry keeps the room it has grown to; growing it once here keeps that
        // lasting allocation out of the runs, which hold only a few messages at a time.
        std::vector<gmsg *> many;
        for (int i = 0; i < 256; ++i)
            many.push_back(gmsg_create(1, 2));
        for (gmsg *m : many)
            gmsg_release(m);
    }
};

gmsg *sample()
{
    gmsg *m = gmsg_create(3, 7);
    gmsg_add_str(m, "name", "Brindle");
    gmsg_add_int(m, "count", -5);
    gmsg_add_bin(m, "blob", "\x00\x01\x02\x03", 4);
    gmsg *inner = gmsg_create(4, 8);
    gmsg_add_str(inner, "host", "127.0.0.1");
    gmsg_add_msg(m, "inner", inner);
    gmsg_release(inner);
    return m;
}

// The content of m, deep-copied, to compare against after a call.
plobj *snapshot(gmsg *m) { return pl::deep_copy(gmsg_content(m), true); }

bool same_content(gmsg *m, const plobj *expected)
{
    return m && pl::equal(gmsg_content(m), expected);
}

// A store either answers m with the value in place, or null with the content untouched.
void check_store(const std::string &what, const std::function<gmsg *(gmsg *)> &add,
                 const std::function<bool(gmsg *)> &stored)
{
    exhaust(what, [&](Attempt &run) {
        gmsg *m = sample();
        plobj *before = snapshot(m);
        gmsg *r = nullptr;
        run.during([&] { r = add(m); });
        if (r) {
            EXPECT_EQ(r, m);
            EXPECT_TRUE(stored(m));
        } else {
            EXPECT_TRUE(run.failed());
            EXPECT_TRUE(same_content(m, before)) << "a failed store changed the message";
        }
        plobj_release(before);
        gmsg_release(m);
    });
}

TEST_F(AllocFailureGmsg, CreationGivesNullOrACompleteMessage)
{
    exhaust("gmsg_create", [](Attempt &run) {
        gmsg *m = nullptr;
        run.during([&] { m = gmsg_create(3, 7); });
        if (m) {
            EXPECT_EQ(gmsg_get_int(m, "_c_type_"), 3);
            EXPECT_EQ(gmsg_get_int(m, "_m_type_"), 7);
        } else {
            EXPECT_TRUE(run.failed());
        }
        gmsg_release(m);
    });
    exhaust("gmsg_create_use_dic", [](Attempt &run) {
        gmsg *src = sample();
        plobj *dict = snapshot(src);
        gmsg *m = nullptr;
        run.during([&] { m = gmsg_create_use_dic(dict); });
        if (m) {
            EXPECT_TRUE(same_content(m, dict));
            EXPECT_EQ(m->c_type, 3);
            EXPECT_EQ(m->m_type, 7);
        } else {
            EXPECT_TRUE(run.failed());
        }
        gmsg_release(m);
        plobj_release(dict);
        gmsg_release(src);
    });
    exhaust("gmsg_duplicate", [](Attempt &run) {
        gmsg *src = sample();
        plobj *before = snapshot(src);
        gmsg *m = nullptr;
        run.during([&] { m = gmsg_duplicate(src); });
        if (m) {
            EXPECT_TRUE(same_content(m, before));
        } else {
            EXPECT_TRUE(run.failed());
        }
        EXPECT_TRUE(same_content(src, before));
        gmsg_release(m);
        plobj_release(before);
        gmsg_release(src);
    });
}

TEST_F(AllocFailureGmsg, AFailedStoreLeavesTheMessageAsItWas)
{
    check_store(
        "gmsg_add_str new key", [](gmsg *m) { return gmsg_add_str(m, "fresh", "value"); },
        [](gmsg *m) { return std::string(gmsg_get_str(m, "fresh")) == "value"; });
    check_store(
        "gmsg_add_str replacing", [](gmsg *m) { return gmsg_add_str(m, "name", "other"); },
        [](gmsg *m) { return std::string(gmsg_get_str(m, "name")) == "other"; });
    check_store(
        "gmsg_add_int", [](gmsg *m) { return gmsg_add_int(m, "big", INT64_MIN); },
        [](gmsg *m) { return gmsg_get_int(m, "big") == INT64_MIN; });
    static const char bytes[300] = {1, 2, 3};
    check_store(
        "gmsg_add_bin", [](gmsg *m) { return gmsg_add_bin(m, "more", bytes, sizeof bytes); },
        [](gmsg *m) {
            uint32_t len = 0;
            const void *p = gmsg_get_bin(m, "more", &len);
            return p && len == sizeof bytes && std::memcmp(p, bytes, len) == 0;
        });
    gmsg *other = sample();
    check_store(
        "gmsg_add_msg", [&](gmsg *m) { return gmsg_add_msg(m, "copy", other); },
        [&](gmsg *m) {
            gmsg *got = gmsg_get_msg(m, "copy");
            bool ok = got && pl::equal(gmsg_content(got), gmsg_content(other));
            gmsg_release(got);
            return ok;
        });
    gmsg_release(other);
}

TEST_F(AllocFailureGmsg, DeletingAKeyRemovesExactlyIt)
{
    exhaust("gmsg_delete", [](Attempt &run) {
        gmsg *m = sample();
        int rc = 1;
        run.during([&] { rc = gmsg_delete(m, "name"); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(gmsg_get_str(m, "name"), nullptr);
        EXPECT_EQ(gmsg_get_int(m, "count"), -5);
        gmsg_release(m);
    });
}

TEST_F(AllocFailureGmsg, PlainReadersNeedNoMemory)
{
    long failing_runs = exhaust("gmsg_get_str, gmsg_get_str_r, gmsg_get_int, gmsg_get_bin",
                                [](Attempt &run) {
        gmsg *m = sample();
        const char *s = nullptr;
        char copy[16] = {};
        int need = 0;
        int64_t count = 0;
        uint32_t len = 0;
        const void *bin = nullptr;
        run.during([&] {
            s = gmsg_get_str(m, "name");
            need = gmsg_get_str_r(m, "name", copy, sizeof copy);
            count = gmsg_get_int(m, "count");
            bin = gmsg_get_bin(m, "blob", &len);
        });
        EXPECT_STREQ(s, "Brindle");
        EXPECT_EQ(need, 8);
        EXPECT_STREQ(copy, "Brindle");
        EXPECT_EQ(count, -5);
        EXPECT_NE(bin, nullptr);
        EXPECT_EQ(len, 4u);
        gmsg_release(m);
    });
    // Readers copy into the ring or the caller's buffer and lend the rest.
    EXPECT_EQ(failing_runs, 0);
}

TEST_F(AllocFailureGmsg, ANestedMessageComesOutWholeOrNotAtAll)
{
    exhaust("gmsg_get_msg", [](Attempt &run) {
        gmsg *m = sample();
        gmsg *inner = nullptr;
        run.during([&] { inner = gmsg_get_msg(m, "inner"); });
        if (inner) {
            EXPECT_EQ(inner->c_type, 4);
            EXPECT_EQ(inner->m_type, 8);
            EXPECT_STREQ(gmsg_get_str(inner, "host"), "127.0.0.1");
        } else {
            EXPECT_TRUE(run.failed());
        }
        gmsg_release(inner);
        gmsg_release(m);
    });
}

TEST_F(AllocFailureGmsg, ADescriptionIsAlwaysATerminatedString)
{
    exhaust("gmsg_get_desc", [](Attempt &run) {
        gmsg *m = sample();
        char dest[512];
        std::memset(dest, 'X', sizeof dest);
        int len = sizeof dest;
        int rc = 1;
        run.during([&] { rc = gmsg_get_desc(m, dest, &len); });
        EXPECT_EQ(rc, 0);
        bool terminated = std::memchr(dest, '\0', sizeof dest) != nullptr;
        EXPECT_TRUE(terminated) << "dest left unterminated";
        if (terminated) {
            EXPECT_EQ(len, static_cast<int>(std::strlen(dest)));
        }
        if (!run.failed()) {
            EXPECT_NE(std::strstr(dest, "Brindle"), nullptr);
        }
        gmsg_release(m);
    });
}

TEST_F(AllocFailureGmsg, ABufferIsMadeWholeOrNotAtAll)
{
    gmsg *m = sample();
    uint32_t ref_len = 0;
    void *reference = gmsg_gen_buffer(m, &ref_len);
    ASSERT_NE(reference, nullptr);
    exhaust("gmsg_gen_buffer", [&](Attempt &run) {
        uint32_t len = 0;
        void *buf = nullptr;
        run.during([&] { buf = gmsg_gen_buffer(m, &len); });
        if (buf) {
            ASSERT_EQ(len, ref_len);
            EXPECT_EQ(std::memcmp(buf, reference, len), 0);
        } else {
            EXPECT_TRUE(run.failed());
        }
        free(buf);
    });
    plobj *expected = snapshot(m);
    exhaust("gmsg_parse_buffer", [&](Attempt &run) {
        gmsg *back = nullptr;
        run.during([&] { back = gmsg_parse_buffer(reference, static_cast<int>(ref_len)); });
        if (back) {
            EXPECT_TRUE(same_content(back, expected)) << "a parse gave a different message";
            EXPECT_EQ(back->c_type, 3);
            EXPECT_EQ(back->m_type, 7);
        } else {
            EXPECT_TRUE(run.failed());
        }
        gmsg_release(back);
    });
    plobj_release(expected);
    free(reference);
    gmsg_release(m);
}

}  // namespace
