#include <bwvutil/dic.h>

#include "platform/core/plobj.hpp"
#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <map>
#include <random>
#include <variant>

namespace {

namespace pl = bwv::pl;
using bwv::test::TempDir;

struct Str { std::string s; int as_int; };
using List = std::vector<std::string>;
using Value = std::variant<Str, int, bool, size_t, List>;  // size_t: a pool dictionary

std::string str(dic *d, const char *key)
{
    char *s = dic_get_str(d, key);
    std::string out = s ? s : "<null>";
    free(s);
    return out;
}

mode_t mode_of(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Random setter calls on a dictionary and on a map, every entry compared after each step;
// nested dictionaries come from a pool and are changed through their own handles, which the
// container must show. Every few steps the dictionary goes through a file and a descriptor.
TEST(Dic, BehavesLikeAMapOfPlainValues)
{
    std::mt19937 rng(20261206u);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const std::vector<std::string> keys{"a", "key", "0", "\xc3\xa9t\xc3\xa9", "\xff"};
    const std::vector<Str> texts{{"", 0}, {"text", 0}, {"123abc", 123}, {"  -17 apples", -17}, {"\xe6\x97\xa5", 0}, {"\xc3", 0}};
    std::vector<dic *> pool{dic_create(), dic_create()};
    std::vector<std::string> pool_k{"<null>", "<null>"};
    dic *d = dic_create();
    std::map<std::string, Value> model;
    TempDir dir;
    for (int step = 0; step < 1500; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::string &key = keys[pick(keys.size())];
        const bool good_key = pl::valid_utf8(key);
        const size_t op = pick(6);
        Value v;
        int rc = 0, want = good_key ? 0 : -2;
        if (op == 0) {
            const Str &t = texts[pick(texts.size())];
            rc = dic_set_str(d, key.c_str(), t.s.c_str());
            want = !good_key ? -2 : pl::valid_utf8(t.s) ? 0 : -3;
            v = t;
        } else if (op == 1) {
            const int n = static_cast<int>(rng());
            rc = dic_set_int(d, key.c_str(), n);
            v = n;
        } else if (op == 2) {
            const int flag = static_cast<int>(pick(3));
            rc = dic_set_boolean(d, key.c_str(), flag);
            v = flag != 0;
        } else if (op == 3) {
            v = pick(pool.size());
            rc = dic_set_dic(d, key.c_str(), pool[std::get<size_t>(v)]);
        } else if (op == 4) {
            parray *items = parray_create(0);
            List list(pick(4));
            for (std::string &s : list)
                parray_add(items, const_cast<char *>((s = texts[pick(5)].s).c_str()));
            rc = dic_set_str_parray(d, key.c_str(), items);
            want = good_key ? 0 : -1;
            parray_destroy(items);
            v = list;
        } else {
            const size_t i = pick(pool.size());
            pool_k[i] = texts[pick(5)].s;
            ASSERT_EQ(dic_set_str(pool[i], "k", pool_k[i].c_str()), 0);
            rc = want = 1;  // nothing stored in d
        }
        ASSERT_EQ(rc, want);
        if (want == 0)
            model[key] = v;
        ASSERT_EQ(dic_get_count(d), static_cast<int>(model.size()));
        for (const std::string &k : keys) {
            auto it = model.find(k);
            const Value *m = it == model.end() ? nullptr : &it->second;
            const Str *s = m ? std::get_if<Str>(m) : nullptr;
            const List *list = m ? std::get_if<List>(m) : nullptr;
            const size_t *pooled = m ? std::get_if<size_t>(m) : nullptr;
            const int *n = m ? std::get_if<int>(m) : nullptr;
            const bool *b = m ? std::get_if<bool>(m) : nullptr;
            ASSERT_EQ(str(d, k.c_str()), s ? s->s : "<null>") << k;
            ASSERT_EQ(dic_get_int(d, k.c_str()), s ? s->as_int : n ? *n : b ? *b : -1) << k;
            dic *nested = dic_get_dic(d, k.c_str());
            ASSERT_EQ(nested != nullptr, pooled || list) << k;
            ASSERT_EQ(pooled ? str(nested, "k") : "", pooled ? pool_k[*pooled] : "") << k;
            dic_destroy(nested);
            parray *back = dic_get_str_parray(d, k.c_str());
            List got;
            for (int i = 0; back && i < parray_count(back); ++i)
                got.push_back(static_cast<char *>(parray_at(back, i)));
            parray_destroy_free(back);
            ASSERT_EQ(got, list ? *list : List{}) << k;
        }
        if (step % 50 == 49) {
            const std::string path = dir / "d.plist";
            ASSERT_EQ(dic_save_to_file(d, path.c_str()), 0);
            dic *loaded = dic_load_from_file(path.c_str());
            int fd = open(path.c_str(), O_RDWR);
            ASSERT_EQ(dic_save_to_fd(d, fd), 0);
            lseek(fd, 0, SEEK_SET);
            dic *frozen = dic_load_from_fd(fd);
            close(fd);
            ASSERT_TRUE(loaded && frozen && pl::equal(loaded->ref, d->ref) && pl::equal(frozen->ref, d->ref));
            dic_destroy(loaded);
            dic_destroy(frozen);
        }
    }
    for (dic *p : pool)
        dic_destroy(p);
    dic_destroy(d);
}

TEST(Dic, RefusedArgumentsGiveTheirCodesAndChangeNothing)
{
    TempDir dir;
    dic *d = dic_create(), *other = dic_create(), null_ref{nullptr};
    array *arr = array_create(), null_arr{nullptr};
    parray *list = parray_create(0);
    const char *bad = "\xff\xfe";
    const std::string text = dir.write("text", "not a plist"), empty = dir.write("empty", ""),
                      arr_root = dir.write("arr", "<plist version=\"1.0\"><array><string>x</string></array></plist>");
    auto fd_load = [](const std::string &path) {
        int fd = open(path.c_str(), O_RDONLY);
        dic *got = dic_load_from_fd(fd);
        close(fd);
        return got != nullptr;
    };
    const struct { const char *what; std::function<long()> call; long want; } rows[] = {
        {"set_str null dic", [&] { return dic_set_str(nullptr, "k", "v"); }, -1},
        {"set_str null key", [&] { return dic_set_str(d, nullptr, "v"); }, -1},
        {"set_str null value", [&] { return dic_set_str(d, "k", nullptr); }, -1},
        {"set_int null dic", [&] { return dic_set_int(nullptr, "k", 1); }, -1},
        {"set_boolean null ref", [&] { return dic_set_boolean(&null_ref, "k", 1); }, -1},
        {"set_dic null nested", [&] { return dic_set_dic(d, "k", nullptr); }, -1},
        {"set_dic bad key", [&] { return dic_set_dic(d, bad, other); }, -2},
        {"set_dic nested without ref", [&] { return dic_set_dic(d, "k", &null_ref); }, -3},
        {"set_array null array", [&] { return dic_set_array(d, "k", nullptr); }, -1},
        {"set_array array without ref", [&] { return dic_set_array(d, "k", &null_arr); }, -1},
        {"set_array bad key", [&] { return dic_set_array(d, bad, arr); }, -2},
        {"set_str_parray null list", [&] { return dic_set_str_parray(d, "k", nullptr); }, -1},
        {"nothing was stored", [&] { return dic_get_count(d); }, 0},
        {"keys of empty", [&] { return dic_get_keys(d) != nullptr; }, 0},
        {"get_str null dic", [&] { return dic_get_str(nullptr, "k") != nullptr; }, 0},
        {"get_int null dic", [&] { return dic_get_int(nullptr, "k"); }, -1},
        {"get_dic null ref", [&] { return dic_get_dic(&null_ref, "k") != nullptr; }, 0},
        {"has_key null key", [&] { return dic_has_key(d, nullptr); }, -1},
        {"destroy null", [&] { return dic_destroy(nullptr); }, -1},
        {"destroy null ref", [&] { return dic_destroy(&null_ref); }, -1},
        {"save null path", [&] { return dic_save_to_file(d, nullptr); }, -1},
        {"save to a path that is not UTF-8", [&] { return dic_save_to_file(d, "/tmp/\xff"); }, -2},
        {"save into a missing folder", [&] { return dic_save_to_file(d, dir.file("no/f").c_str()) < -2; }, 1},
        {"save to a bad descriptor", [&] { return dic_save_to_fd(d, -1); }, -1},
        {"save to a read-only fd", [&] { int fd = open(text.c_str(), O_RDONLY); long rc = dic_save_to_fd(d, fd); close(fd); return rc; }, -2},
        {"array_destroy null ref", [&] { return array_destroy(&null_arr); }, -1},
        {"array count null ref", [&] { return array_get_count(&null_arr); }, -1},
        {"append null", [&] { return array_append_dic(arr, nullptr); }, -1},
        {"append null ref", [&] { return array_append_dic(arr, &null_ref); }, -1},
        {"array element past the end", [&] { return array_get_dic(arr, 0) != nullptr; }, 0},
        {"string copy of null", [&] { return Copy_CFStringRefToCString(nullptr) != nullptr; }, 0},
        {"string object not UTF-8", [&] { return plobj_string_create("\xc0\xaf") != nullptr; }, 0},
        {"load null path", [&] { return dic_load_from_file(nullptr) != nullptr; }, 0},
        {"load missing", [&] { return dic_load_from_file(dir.file("missing").c_str()) != nullptr; }, 0},
        {"load empty", [&] { return dic_load_from_file(empty.c_str()) != nullptr; }, 0},
        {"load array root", [&] { return dic_load_from_file(arr_root.c_str()) != nullptr; }, 0},
        {"load folder", [&] { return dic_load_from_file(dir.path().c_str()) != nullptr; }, 0},
        {"load fd of array root", [&] { return fd_load(arr_root); }, 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.call(), row.want) << row.what;
    parray_destroy(list);
    array_destroy(arr);
    dic_destroy(other);
    dic_destroy(d);
}

TEST(Dic, SharingKeysAndTheDescriptionAsPeersPrintIt)
{
    TempDir dir;
    const std::string path = dir.write("conf.plist",
        "<plist version=\"1.0\"><dict><key>name</key><string>two words</string><key>n</key><integer>-5</integer>"
        "<key>list</key><array><dict><key>a</key><data>AAECAwQFBgc=</data></dict></array>"
        "<key>key with space</key><dict><key>q</key><string>say \"hi\"\\</string><key>u</key><string>\xc3\xa9</string>"
        "<key>r</key><real>0.5</real><key>t</key><true/></dict></dict></plist>");
    dic *d = dic_load_from_file(path.c_str());
    array *list = dic_get_array(d, "list");
    dic *first = array_get_dic(list, 0), *nested = dic_create();
    ASSERT_TRUE(first && array_get_count(list) == 1 && array_append_dic(list, nested) == 0);
    EXPECT_EQ(dic_set_int(first, "a", 2), 0) << "file-loaded dictionaries are mutable to the leaves";
    EXPECT_EQ(dic_set_dic(d, "again", nested), 0);
    EXPECT_EQ(dic_set_str(nested, "k", "shared"), 0);
    dic *via_array = array_get_dic(list, 1);
    EXPECT_EQ(str(via_array, "k"), "shared") << "one object in two containers";
    plobj *k = plobj_string_create("again");
    EXPECT_EQ(dic_has_key(d, k), 1);
    char *copy = Copy_CFStringRefToCString(k);
    EXPECT_STREQ(copy, "again");
    free(copy);
    plobj_release(k);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dic_show(d), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n\tDictionary description is: \n{\n    again =     {\n        k = shared;\n    };\n"
              "    \"key with space\" =     {\n        q = \"say \\\"hi\\\"\\\\\";\n        r = 0.5;\n        t = 1;\n"
              "        u = \"\\U00e9\";\n    };\n    list =     (\n                {\n            a = 2;\n        },\n"
              "                {\n            k = shared;\n        }\n    );\n    n = \"-5\";\n    name = \"two words\";\n}\n");
    for (dic *x : {d, first, nested, via_array})
        dic_destroy(x);
    array_destroy(list);
}

TEST(Dic, ADescriptorLoadIsImmutableToTheLeavesAndLeavesTheOffset)
{
    TempDir dir;
    int fd = open(dir.write("c.plist", "<plist version=\"1.0\"><dict><key>n</key><dict><key>s</key><string>x</string></dict>"
                                       "<key>a</key><array><dict/></array></dict></plist>").c_str(), O_RDONLY);
    lseek(fd, 5, SEEK_SET);
    dic *d = dic_load_from_fd(fd), *nested = dic_get_dic(d, "n");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 5);
    array *a = dic_get_array(d, "a");
    EXPECT_EQ(dic_set_str(d, "k", "v") + dic_set_int(d, "k", 1) + dic_set_boolean(d, "k", 0) + dic_set_dic(d, "k", nested) +
                  dic_set_str(nested, "s", "y") + array_append_dic(a, nested),
              -6);
    EXPECT_EQ(str(nested, "s"), "x");
    close(fd);
    dic_destroy(nested);
    dic_destroy(d);
    array_destroy(a);
}

// The old file stays whole, the folder takes no stray temporary file, a link keeps its
// place, and files named for secrets are owner-only from creation on.
TEST(Dic, SavingReplacesTheFileWholeOrNotAtAll)
{
    TempDir dir;
    dic *d = dic_create();
    dic_set_str(d, "big", std::string(200000, 'x').c_str());
    const std::string path = dir.write("f/conf.plist", "old");
    // A file-size limit stands in for a full disk: the write stops part way.
    EXPECT_EQ(bwv::test::in_fresh_process([&] {
                  signal(SIGXFSZ, SIG_IGN);
                  struct rlimit limit {65536, 65536};
                  setrlimit(RLIMIT_FSIZE, &limit);
                  return std::to_string(dic_save_to_file(d, path.c_str()));
              }), "-10");
    EXPECT_EQ(dir.read("f/conf.plist"), "old");
    EXPECT_EQ(bwv::test::list_dir(dir / "f"), std::vector<std::string>{"conf.plist"});

    // A folder that takes no new file still lets a writable file in it be saved, in place.
    chmod(path.c_str(), 0666);
    chmod((dir / "f").c_str(), 0555);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(bwv::test::in_fresh_process([&] {
                  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                      return std::string("cannot drop root");
                  return std::to_string(dic_save_to_file(d, path.c_str()));
              }), "0");
    chmod((dir / "f").c_str(), 0755);
    EXPECT_NE(dir.read("f/conf.plist"), "old");

    ASSERT_EQ(symlink("conf.plist", (dir / "f/link").c_str()), 0);
    ASSERT_EQ(dic_save_to_file(d, (dir / "f/link").c_str()), 0);
    EXPECT_EQ(bwv::test::list_dir(dir / "f"), (std::vector<std::string>{"conf.plist", "link"}));
    struct stat st {};
    EXPECT_TRUE(lstat((dir / "f/link").c_str(), &st) == 0 && S_ISLNK(st.st_mode));

    mode_t old_mask = umask(022);
    for (const char *name : {"fav.plist.bak", "av.plist", "plain.plist"}) {
        ASSERT_EQ(dic_save_to_file(d, (dir / name).c_str()), 0);
        EXPECT_EQ(mode_of(dir / name), name[0] == 'p' ? 0644u : 0600u) << name;
    }
    chmod((dir / "av.plist").c_str(), 0644);
    chmod((dir / "plain.plist").c_str(), 0640);
    mkdir((dir / "blocked-av.plist").c_str(), 0755);
    for (const char *name : {"av.plist", "plain.plist", "blocked-av.plist"}) {
        EXPECT_EQ(dic_save_to_file(d, (dir / name).c_str()) < 0, name[0] == 'b') << name;
        EXPECT_EQ(mode_of(dir / name), name[0] == 'p' ? 0640u : 0600u) << "narrowed, even by a failed save: " << name;
    }
    umask(old_mask);
    dic_destroy(d);
}

TEST(Dic, AReaderThatHasGoneCostsTheWriterAnErrorNotItsLife)
{
    dic *d = dic_create();
    for (bool socket : {false, true}) {
        int fds[2];
        ASSERT_EQ(socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds), 0);
        close(fds[0]);
        EXPECT_EQ(dic_save_to_fd(d, fds[1]), -2) << socket;
        close(fds[1]);
    }
    sigset_t pending, blocked;
    sigpending(&pending);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE) || sigismember(&blocked, SIGPIPE)) << "the caller's mask is restored";
    dic_destroy(d);
}

}  // namespace
