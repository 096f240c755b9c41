// Every public call that allocates, run with its n-th allocation failing (alone, then with
// every later one too) for n = 1, 2, ... until it runs through without a failure. Each run
// must leave nothing allocated and either report success with the complete result or report
// failure with the state as it was before the call.
#include <bwvutil.h>

#include "alloc_hooks.hpp"
#include "platform/core/plobj.hpp"
#include "support/bwvtest.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace alloc = bwv::test::alloc;
namespace pl = bwv::pl;
using bwv::test::read_file;
using bwv::test::write_file;

char a_[] = "alpha", b_[] = "beta", c_[] = "gamma";
const char blob_[300] = {1, 2, 3};

// What a run holds; whatever is set is released at the end of the run.
struct S {
    parray *pa = nullptr, *strs = nullptr;
    dbuf *b = nullptr;
    dic *d = nullptr, *got = nullptr;
    array *arr = nullptr;
    gmsg *m = nullptr, *gm = nullptr;
    char *str = nullptr, **keys = nullptr;
    void *buf = nullptr;
    uint32_t len = 0;
    int32_t *pids = nullptr;
    size_t count = 12345;
    cusconf *conf = nullptr;
    std::string text;
    ~S()
    {
        for (int i = 0; keys && i < dic_get_count(d); ++i)
            free(keys[i]);
        free(keys), free(str), free(buf), free(pids);
        parray_destroy(pa), parray_destroy_free(strs), dbuf_destroy(b), array_destroy(arr);
        dic_destroy(d), dic_destroy(got), gmsg_release(m), gmsg_release(gm), cusconf_destroy(conf);
    }
};

struct Row {
    std::string name;
    std::function<void(S &)> setup;
    std::function<bool(S &)> call;          // true when it reports success
    std::function<std::string(S &)> view;   // what a caller can see afterwards
};

dic *sample_dic()
{
    dic *d = dic_create(), *sub = dic_create();
    dic_set_str(d, "name", "Brindle \xc3\xa9t\xc3\xa9");
    dic_set_int(d, "count", 42);
    dic_set_str(sub, "host", "127.0.0.1");
    dic_set_dic(d, "server", sub);
    parray *list = parray_create(0);
    parray_add(list, a_), parray_add(list, b_);
    dic_set_str_parray(d, "names", list);
    array *arr = array_create();
    array_append_dic(arr, sub);
    dic_set_array(d, "servers", arr);
    parray_destroy(list), array_destroy(arr), dic_destroy(sub);
    return d;
}

gmsg *sample_msg()
{
    gmsg *m = gmsg_create(3, 7), *inner = gmsg_create(4, 8);
    gmsg_add_str(m, "name", "Brindle"), gmsg_add_bin(m, "blob", "\x00\x01\x02", 3);
    gmsg_add_str(inner, "host", "127.0.0.1"), gmsg_add_msg(m, "inner", inner);
    gmsg_release(inner);
    return m;
}

std::string xml(plobj *o) { return o ? pl::to_xml(o) : "null"; }
std::string of_dic(dic *d) { return d ? xml(d->ref) : "null"; }
std::string of_msg(gmsg *m) { return m ? std::to_string(m->c_type) + "/" + std::to_string(m->m_type) + xml(gmsg_content(m)) : "null"; }
std::string of_strs(parray *p)
{
    std::string out = p ? "" : "null";
    for (int i = 0; p && i < parray_count(p); ++i)
        out += static_cast<char *>(parray_at(p, i)) + std::string("|");
    return out;
}
std::string of_buf(S &s)
{
    auto *p = s.b ? static_cast<char *>(dbuf_data(s.b)) : nullptr;
    return p ? std::string(p, dbuf_len(s.b)) : s.b ? "" : "null";
}
std::string of_bytes(S &s) { return s.buf ? std::string(static_cast<char *>(s.buf), s.len) : "null"; }
std::string of_str(S &s) { return s.str ? s.str : "null"; }
void with_dic(S &s) { s.d = sample_dic(); }
void with_msg(S &s) { s.m = sample_msg(); }
std::string view_d(S &s) { return of_dic(s.d); }
std::string view_got(S &s) { return of_dic(s.got); }
std::string view_m(S &s) { return of_msg(s.m); }
std::string view_gm(S &s) { return of_msg(s.gm); }

// What one run saw; the views are compared inside the run so that no block outlives it.
struct Run {
    bool ok, hit, consistent;
    long leaked;
};

Run attempt(const Row &r, long n, bool rest, const std::string &complete)
{
    Run o{};
    alloc::track();
    {
        S s;
        if (r.setup)
            r.setup(s);
        const std::string before = r.view(s);
        alloc::arm(n, rest);
        o.ok = r.call(s);
        o.hit = alloc::disarm();
        o.consistent = r.view(s) == (o.ok ? complete : before);
    }
    o.leaked = alloc::leaked();
    return o;
}

void exhaust(const Row &r)
{
    std::string complete;
    {
        S s;  // the reference run, which also makes what is made once per process
        if (r.setup)
            r.setup(s);
        ASSERT_TRUE(r.call(s)) << r.name;
        complete = r.view(s);
    }
    for (long n = 1; n < 100000; ++n)
        for (bool rest : {false, true}) {
            Run o = attempt(r, n, rest, complete);
            ASSERT_TRUE((o.ok || o.hit) && o.consistent && !o.leaked)
                << r.name << ", allocation " << n << (rest ? " and every later one" : "") << " failing: "
                << (o.ok ? "reported success" : "reported failure") << (o.consistent ? "" : " with another state")
                << ", " << o.leaked << " blocks leaked";
            if (!o.hit)
                return;
        }
    ADD_FAILURE() << r.name << ": the path does not end";
}

TEST(AllocFailure, EveryCallFailsCleanlyOrSucceedsWhole)
{
    if (!alloc::active())
        GTEST_SKIP() << "the thread sanitizer owns the allocator";
    bwv::test::BasicFakeRoot<bwv_set_root> root;
    const std::string dir = root.path(), xml_path = dir + "/s.plist", bin_path = dir + "/s.bplist",
                      in_path = dir + "/in.bin", out_path = dir + "/out.bin", target = dir + "/t.plist";
    dic *d = sample_dic();
    write_file(xml_path, pl::to_xml(d->ref));
    write_file(bin_path, pl::to_binary(d->ref));
    write_file(in_path, std::string(100, 'p'));
    write_file(root.mkdirs("Library/Application Support/Tarvenel/BrindleWave/conf") + "/custom.plist",
               "<plist><dict><key>SWUpgrade</key><integer>1</integer><key>Rebranded</key><string>1</string></dict></plist>");
    dic_destroy(d);
    char *sealed = enc_enc_str("secret");
    std::string sealed_str = sealed;
    free(sealed);
    auto view_target = [&](S &) { return read_file(target) + std::to_string(bwv::test::list_dir(dir).size()); };

    std::vector<Row> rows = {
        {"parray_createx", {}, [](S &s) { return (s.pa = parray_createx(8, 4, 7)) != nullptr; },
         [](S &s) { return s.pa ? std::to_string(s.pa->capacity) + "/" + std::to_string(s.pa->tag) : "null"; }},
        {"parray_add growing", [](S &s) { s.pa = parray_createx(1, 2, 0), parray_add(s.pa, a_); },
         [](S &s) { return parray_add(s.pa, b_) == 0; }, [](S &s) { return of_strs(s.pa); }},
        {"parray_add first storage", [](S &s) { s.pa = parray_createx(0, 16, 0); },
         [](S &s) { return parray_add(s.pa, b_) == 0; }, [](S &s) { return of_strs(s.pa); }},
        {"dbuf_createx", {}, [](S &s) { return (s.b = dbuf_createx(32)) != nullptr; }, of_buf},
        {"dbuf_write growing past read bytes",
         [](S &s) {
             char skip[4];
             s.b = dbuf_create(), dbuf_write(s.b, "0123456789", 10), dbuf_read(s.b, skip, 4);
         },
         [](S &s) { return dbuf_write(s.b, blob_, sizeof blob_) == 0; }, of_buf},
        // Appending its own bytes takes a side copy and then growth; either may fail.
        {"dbuf_write own bytes", [](S &s) { s.b = dbuf_create(), dbuf_write(s.b, "abcdef", 6); },
         [](S &s) { return dbuf_write(s.b, dbuf_data(s.b), 6) == 0; }, of_buf},
        {"dbuf_copy_data", [](S &s) { s.b = dbuf_create(), dbuf_write(s.b, "payload", 7), s.len = 7; },
         [](S &s) { return (s.buf = dbuf_copy_data(s.b)) != nullptr; }, of_bytes},
        {"dic_create", {}, [](S &s) { return (s.d = dic_create()) != nullptr; }, view_d},
        {"dic_set_str", with_dic, [](S &s) { return dic_set_str(s.d, "fresh", "value") == 0; }, view_d},
        {"dic_set_str replacing", with_dic, [](S &s) { return dic_set_str(s.d, "name", "other") == 0; }, view_d},
        {"dic_set_int", with_dic, [](S &s) { return dic_set_int(s.d, "port", 443) == 0; }, view_d},
        {"dic_set_dic", [](S &s) { s.d = sample_dic(), s.got = dic_create(); },
         [](S &s) { return dic_set_dic(s.d, "other", s.got) == 0; }, view_d},
        {"dic_set_str_parray", [](S &s) { s.d = sample_dic(), s.pa = parray_create(0), parray_add(s.pa, c_), parray_add(s.pa, a_); },
         [](S &s) { return dic_set_str_parray(s.d, "list", s.pa) == 0; }, view_d},
        {"array_append_dic", [](S &s) { s.d = sample_dic(), s.arr = array_create(); },
         [](S &s) { return array_append_dic(s.arr, s.d) == 0; }, [](S &s) { return std::to_string(array_get_count(s.arr)); }},
        {"dic_get_str", with_dic, [](S &s) { return (s.str = dic_get_str(s.d, "name")) != nullptr; }, of_str},
        {"dic_get_keys", with_dic, [](S &s) { return (s.keys = dic_get_keys(s.d)) != nullptr; },
         [](S &s) {
             std::vector<std::string> k;
             for (int i = 0; s.keys && i <= dic_get_count(s.d); ++i)
                 k.push_back(s.keys[i] ? s.keys[i] : "(end)");
             std::sort(k.begin(), k.end());
             std::string out;
             for (const auto &key : k)
                 out += key + "|";
             return out;
         }},
        {"dic_get_str_parray", with_dic, [](S &s) { return (s.strs = dic_get_str_parray(s.d, "names")) != nullptr; },
         [](S &s) { return of_strs(s.strs); }},
        {"dic_get_array", with_dic, [](S &s) { return (s.arr = dic_get_array(s.d, "servers")) && (s.got = array_get_dic(s.arr, 0)); },
         view_got},
        {"dic_load_from_file XML", {}, [&](S &s) { return (s.got = dic_load_from_file(xml_path.c_str())) != nullptr; }, view_got},
        {"dic_load_from_file binary", {}, [&](S &s) { return (s.got = dic_load_from_file(bin_path.c_str())) != nullptr; }, view_got},
        {"dic_load_from_fd", {}, [&](S &s) {
             int fd = open(bin_path.c_str(), O_RDONLY);
             s.got = dic_load_from_fd(fd);
             return close(fd), s.got != nullptr;
         }, view_got},
        {"dic_save_to_file", [&](S &s) { with_dic(s), write_file(target, "old"); },
         [&](S &s) { return dic_save_to_file(s.d, target.c_str()) == 0; }, view_target},
        {"dic_save_to_fd", [&](S &s) { with_dic(s), write_file(target, "old"); }, [&](S &s) {
             int fd = open(target.c_str(), O_WRONLY);
             int rc = dic_save_to_fd(s.d, fd);
             return close(fd), rc == 0;
         }, view_target},
        {"gmsg_create", {}, [](S &s) { return (s.m = gmsg_create(3, 7)) != nullptr; }, view_m},
        {"gmsg_create_use_dic", with_dic, [](S &s) { return (s.gm = gmsg_create_use_dic(s.d->ref)) != nullptr; }, view_gm},
        {"gmsg_duplicate", with_msg, [](S &s) { return (s.gm = gmsg_duplicate(s.m)) != nullptr; }, view_gm},
        {"gmsg_add_str", with_msg, [](S &s) { return gmsg_add_str(s.m, "fresh", "value") == s.m; }, view_m},
        {"gmsg_add_int", with_msg, [](S &s) { return gmsg_add_int(s.m, "big", INT64_MIN) == s.m; }, view_m},
        {"gmsg_add_bin", with_msg, [](S &s) { return gmsg_add_bin(s.m, "more", blob_, sizeof blob_) == s.m; }, view_m},
        {"gmsg_add_msg", [](S &s) { s.m = sample_msg(), s.gm = sample_msg(); },
         [](S &s) { return gmsg_add_msg(s.m, "copy", s.gm) == s.m; }, view_m},
        {"gmsg_get_msg", with_msg, [](S &s) { return (s.gm = gmsg_get_msg(s.m, "inner")) != nullptr; }, view_gm},
        // Always answers; short of memory, an empty text rather than an unset buffer.
        {"gmsg_get_desc", [](S &s) { with_msg(s), s.text.assign(512, 'X'); }, [](S &s) {
             int len = 512;
             return gmsg_get_desc(s.m, s.text.data(), &len) == 0 && static_cast<size_t>(len) == strlen(s.text.c_str());
         }, [](S &) { return std::string(); }},
        {"gmsg_gen_buffer", with_msg, [](S &s) { return (s.buf = gmsg_gen_buffer(s.m, &s.len)) != nullptr; }, of_bytes},
        {"enc_enc_str", {}, [](S &s) { return (s.str = enc_enc_str("secret")) != nullptr; }, of_str},
        {"enc_dec_str", {}, [&](S &s) { return (s.str = enc_dec_str(sealed_str.c_str())) != nullptr; }, of_str},
        {"enc_dec_str clear text", {}, [](S &s) { return (s.str = enc_dec_str("plain")) != nullptr; }, of_str},
        // The output is salted: what counts is that it opens to the input, or is not there.
        {"encrypt_file", [&](S &) { unlink(out_path.c_str()); },
         [&](S &) { return encrypt_file(in_path.c_str(), out_path.c_str(), "correct horse") == 0; }, [&](S &) {
             std::string sealed = read_file(out_path), opened(sealed.size(), '\0');
             if (sealed.empty())
                 return std::string("none");
             int len = static_cast<int>(opened.size());
             decrypt_buffer(reinterpret_cast<const unsigned char *>(sealed.data()), static_cast<int>(sealed.size()),
                            reinterpret_cast<unsigned char *>(opened.data()), &len, "correct horse");
             return opened.substr(0, static_cast<size_t>(std::max(len, 0)));
         }},
        {"cusconf_load", {}, [](S &s) { return (s.conf = cusconf_load()) != nullptr; },
         [](S &s) { return s.conf ? std::to_string(s.conf->swupgrade) + std::to_string(s.conf->rebranded) : "null"; }},
        {"ps_get_pid_all", {}, [](S &s) { return ps_get_pid_all("test_alloc_failure", 1, &s.pids, &s.count) == 0; },
         [](S &s) {
             bool self = s.pids && std::find(s.pids, s.pids + s.count, getpid()) != s.pids + s.count;
             return s.pids ? (self ? "self" : "other") : (s.count == 12345 || s.count == 0) ? "untouched" : "count";
         }},
    };
    // Property lists and archives written by the platform take conversion paths our own
    // samples do not (dates, reals, large integers, UIDs).
    namespace fs = std::filesystem;
    for (const char *sub : {"xml-plists", "binary-plists", "keyed-archives"})
        for (const auto &e : fs::directory_iterator(fs::path(BWV_INTEROP_DIR) / sub)) {
            std::string path = e.path();
            if (sub[0] != 'k') {
                dic *probe = dic_load_from_file(path.c_str());  // not every root is a dictionary
                if (probe)
                    rows.push_back({path, {}, [path](S &s) { return (s.got = dic_load_from_file(path.c_str())) != nullptr; }, view_got});
                dic_destroy(probe);
                continue;
            }
            // The header a peer puts in front; the types inside the archive are what count.
            std::string wire = std::string(12, '\0') + read_file(path) + '\0';
            rows.push_back({path, {}, [wire](S &s) { return (s.m = gmsg_parse_buffer(wire.data(), static_cast<int>(wire.size()))) != nullptr; }, view_m});
            rows.push_back({path + " again", [wire](S &s) { s.m = gmsg_parse_buffer(wire.data(), static_cast<int>(wire.size())); },
                            [](S &s) { return (s.buf = gmsg_gen_buffer(s.m, &s.len)) != nullptr; }, of_bytes});
        }
    for (const Row &r : rows)
        exhaust(r);
}

// The rebrand texts are read once per process, so each failing allocation runs in a child of
// its own whose first lookup runs short of memory. Short of memory, the lookup must give the
// default, leak nothing and keep nothing: the next lookup reads the file as it is then.
TEST(AllocFailure, RebrandTextsAreNotFixedByALookupShortOfMemory)
{
    if (!alloc::active())
        GTEST_SKIP() << "the thread sanitizer owns the allocator";
    bwv::test::TempDir dir;
    const std::string path = dir / "rebrand.plist";
    for (long n = 1;; ++n) {
        write_file(path, "<plist><dict><key>ProductName</key><string>Kestrel</string>"
                         "<key>Welcome</key><string>Hello from Kestrel</string></dict></plist>");
        std::string got = bwv::test::in_fresh_process([&] {
            gmsg_release(gmsg_create(0, 0));  // what the library sets up once, not the cache's to free
            dic_destroy(dic_load_from_file(path.c_str()));
            alloc::track();
            alloc::arm(n, false);
            const char *first = getbwvtxt_ex(path.c_str(), "Welcome", "default");
            if (!alloc::disarm())
                return std::string("end");
            long leaked = strcmp(first, "default") == 0 ? alloc::leaked() : 0;
            write_file(path, "<plist><dict><key>ProductName</key><string>Osprey</string></dict></plist>");
            return std::string(first) + "|" + getbwvtxt_ex(path.c_str(), "ProductName", "-") + "|" +
                   getbwvtxt_ex(path.c_str(), "Welcome", "-") + (leaked ? " leaked" : "");
        });
        if (got == "end")
            break;
        EXPECT_TRUE(got == "Hello from Kestrel|Kestrel|Hello from Kestrel" || got == "default|Osprey|-")
            << "allocation " << n << " failing: " << got;
    }
}

}  // namespace
