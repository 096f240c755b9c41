#include <bwvutil/dic.h>

#include "lib/core/plobj.hpp"
#include "support/bwvtest.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <thread>
#include <variant>

namespace {

namespace pl = bwv::pl;
using bwv::test::TempDir;

std::string str(dic *d, const char *key) {
    std::unique_ptr<char, decltype(&free)> s(dic_get_str(d, key), free);
    return s ? s.get() : "<null>";
}

// What the getters answer for key: text|int|text under "k" of the nested dictionary|list.
std::string seen(dic *d, const char *key) {
    dic *nested = dic_get_dic(d, key);
    parray *list = dic_get_str_parray(d, key);
    std::string out =
        str(d, key) + "|" + std::to_string(dic_get_int(d, key)) + "|" + (nested ? str(nested, "k") : "-") + "|";
    for (int i = 0; list && i < parray_count(list); ++i)
        out += static_cast<char *>(parray_at(list, i)) + std::string(",");
    dic_destroy(nested);
    parray_destroy_free(list);
    return out;
}

// Random setter calls on a dictionary and on a map of what the getters must answer, all
// compared after each step. Nested dictionaries come from a pool and change through their
// own handles, which every container holding them must show.
TEST(Dic, BehavesLikeAMapOfPlainValues) {
    std::mt19937 rng(20261206u);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const std::vector<std::string> keys{"a", "key", "0", "\xc3\xa9t\xc3\xa9", "\xff"};
    const std::vector<std::pair<std::string, int>> texts{
        {"", 0}, {"text", 0}, {"123abc", 123}, {"  -17 apples", -17}, {"\xe6\x97\xa5", 0}, {"\xc3", 0}};
    dic *d = dic_create(), *pool[2] = {dic_create(), dic_create()};
    std::string pool_k[2] = {"<null>", "<null>"};
    std::map<std::string, std::variant<std::string, size_t>> model;  // size_t: a pool entry
    for (int step = 0; step < 1500; ++step) {
        SCOPED_TRACE(step);
        const char *key = keys[pick(keys.size())].c_str();
        const auto &[text, as_int] = texts[pick(texts.size())];
        const int n = static_cast<int>(rng()), flag = static_cast<int>(pick(3)), bad_key = pl::valid_utf8(key) ? 0 : -2;
        const size_t p = pick(2), op = pick(6);
        std::variant<std::string, size_t> v = p;
        int rc = 0, want = bad_key;
        if (op == 0) {
            rc = dic_set_str(d, key, text.c_str());
            want = bad_key ? bad_key : pl::valid_utf8(text) ? 0 : -3;
            v = text + "|" + std::to_string(as_int) + "|-|";
        } else if (op == 1) {
            rc = dic_set_int(d, key, n);
            v = "<null>|" + std::to_string(n) + "|-|";
        } else if (op == 2) {
            rc = dic_set_boolean(d, key, flag);
            v = "<null>|" + std::to_string(flag != 0) + "|-|";
        } else if (op == 3) {
            rc = dic_set_dic(d, key, pool[p]);
        } else if (op == 4) {
            parray *items = parray_create(0);
            std::string listed = "<null>|-1|<null>|";
            for (size_t i = pick(4); i > 0; --i) {
                parray_add(items, const_cast<char *>(texts[i].first.c_str()));
                listed += texts[i].first + ",";
            }
            rc = dic_set_str_parray(d, key, items);
            want = bad_key ? -1 : 0;
            parray_destroy(items);
            v = listed;
        } else {
            pool_k[p] = texts[pick(5)].first;
            rc = want = dic_set_str(pool[p], "k", pool_k[p].c_str()) - 1;  // nothing stored in d
        }
        ASSERT_EQ(rc, want);
        if (want == 0) model[key] = v;
        std::string names, keys_wanted;
        char **got = dic_get_keys(d);
        for (int i = 0; got && got[i]; free(got[i++])) names += got[i] + std::string(",");
        free(got);
        for (const auto &entry : model) keys_wanted += entry.first + ",";
        ASSERT_EQ(names, keys_wanted);
        for (const std::string &k : keys) {
            auto it = model.find(k);
            const size_t *pooled = it == model.end() ? nullptr : std::get_if<size_t>(&it->second);
            ASSERT_EQ(seen(d, k.c_str()), it == model.end() ? "<null>|-1|-|"
                                          : pooled          ? "<null>|-1|" + pool_k[*pooled] + "|"
                                                            : std::get<std::string>(it->second))
                << k;
        }
    }
    for (dic *x : {d, pool[0], pool[1]}) dic_destroy(x);
}

TEST(Dic, RefusedArgumentsGiveTheirCodesAndChangeNothing) {
    TempDir dir;
    dic *d = dic_create(), *other = dic_create(), null_ref{nullptr};
    array *arr = array_create(), null_arr{nullptr};
    // A descriptor load is immutable down to the leaves and leaves the offset alone.
    int fd =
        open(dir.write("c.plist", "<plist version=\"1.0\"><dict><key>n</key><dict/><key>a</key><array/></dict></plist>")
                 .c_str(),
             O_RDONLY);
    lseek(fd, 5, SEEK_SET);
    dic *frozen = dic_load_from_fd(fd), *frozen_n = dic_get_dic(frozen, "n");
    array *frozen_a = dic_get_array(frozen, "a");
    const bwv::test::CallRow<> rows[] = {
        {"descriptor offset kept", [&] { return lseek(fd, 0, SEEK_CUR); }, 5},
        {"set_str null dic", [&] { return dic_set_str(nullptr, "k", "v"); }, -1},
        {"set_str null key", [&] { return dic_set_str(d, nullptr, "v"); }, -1},
        {"set_str null value", [&] { return dic_set_str(d, "k", nullptr); }, -1},
        {"set_int null dic", [&] { return dic_set_int(nullptr, "k", 1); }, -1},
        {"set_boolean null ref", [&] { return dic_set_boolean(&null_ref, "k", 1); }, -1},
        {"set_dic null nested", [&] { return dic_set_dic(d, "k", nullptr); }, -1},
        {"set_dic nested without ref", [&] { return dic_set_dic(d, "k", &null_ref); }, -3},
        {"set_array null array", [&] { return dic_set_array(d, "k", nullptr); }, -1},
        {"set_array array without ref", [&] { return dic_set_array(d, "k", &null_arr); }, -1},
        {"set_array bad key", [&] { return dic_set_array(d, "\xff\xfe", arr); }, -2},
        {"set_str_parray null list", [&] { return dic_set_str_parray(d, "k", nullptr); }, -1},
        {"nothing was stored", [&] { return dic_get_count(d); }, 0},
        {"no keys in an empty dictionary", [&] { return dic_get_keys(d) != nullptr; }, 0},
        {"get_int null dic", [&] { return dic_get_int(nullptr, "k"); }, -1},
        {"has_key null key", [&] { return dic_has_key(d, nullptr); }, -1},
        {"destroy null", [&] { return dic_destroy(nullptr); }, -1},
        {"destroy null ref", [&] { return dic_destroy(&null_ref); }, -1},
        {"save null path", [&] { return dic_save_to_file(d, nullptr); }, -1},
        {"save to a path that is not UTF-8", [&] { return dic_save_to_file(d, "/tmp/\xff"); }, -2},
        {"save into a missing folder", [&] { return dic_save_to_file(d, dir.file("no/f").c_str()) < -2; }, 1},
        {"save to a bad descriptor", [&] { return dic_save_to_fd(d, -1); }, -1},
        {"save to a read-only descriptor", [&] { return dic_save_to_fd(d, fd); }, -2},
        {"array_destroy null ref", [&] { return array_destroy(&null_arr); }, -1},
        {"array count null ref", [&] { return array_get_count(&null_arr); }, -1},
        {"append null", [&] { return array_append_dic(arr, nullptr); }, -1},
        {"append null ref", [&] { return array_append_dic(arr, &null_ref); }, -1},
        {"array element past the end", [&] { return array_get_dic(arr, 0) != nullptr; }, 0},
        {"string copy of null", [&] { return Copy_CFStringRefToCString(nullptr) != nullptr; }, 0},
        {"string object not UTF-8", [&] { return plobj_string_create("\xc0\xaf") != nullptr; }, 0},
        {"load missing", [&] { return dic_load_from_file(dir.file("missing").c_str()) != nullptr; }, 0},
        {"load empty", [&] { return dic_load_from_file(dir.write("empty", "").c_str()) != nullptr; }, 0},
        {"load folder", [&] { return dic_load_from_file(dir.path().c_str()) != nullptr; }, 0},
        {"load bad descriptor", [&] { return dic_load_from_fd(-3) != nullptr; }, 0},
        {"set_str on a descriptor load", [&] { return dic_set_str(frozen, "k", "v"); }, -1},
        {"set_dic on a descriptor load", [&] { return dic_set_dic(frozen, "k", other); }, -1},
        {"set_str in its nested dictionary", [&] { return dic_set_str(frozen_n, "k", "v"); }, -1},
        {"append to its array", [&] { return array_append_dic(frozen_a, other); }, -1},
    };
    for (const auto &row : rows) EXPECT_EQ(row.call(), row.want) << row.what;
    close(fd);
    for (dic *x : {d, other, frozen, frozen_n}) dic_destroy(x);
    for (array *x : {arr, frozen_a}) array_destroy(x);
}

// Nested objects are shared, not copied: a change through one handle shows in every
// container, and in the description printed in Foundation's old-style layout.
TEST(Dic, SharedObjectsShowInEveryContainerAndInTheDescription) {
    dic *d = dic_load_from_file(BWV_TEST_DATA_DIR "/dic_show.plist");
    array *list = dic_get_array(d, "list");
    dic *first = array_get_dic(list, 0), *nested = dic_create();
    ASSERT_TRUE(first && array_get_count(list) == 1 && array_append_dic(list, nested) == 0);
    EXPECT_EQ(dic_set_int(first, "a", 2) + dic_set_dic(d, "again", nested) + dic_set_str(nested, "k", "shared"), 0);
    plobj *k = plobj_string_create("again");
    char *copy = Copy_CFStringRefToCString(k);
    EXPECT_TRUE(dic_has_key(d, k) == 1 && std::string(copy) == "again");
    free(copy);
    plobj_release(k);
    testing::internal::CaptureStdout();
    EXPECT_EQ(dic_show(d), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), bwv::test::read_file(BWV_TEST_DATA_DIR "/dic_show.txt"));
    for (dic *x : {d, first, nested}) dic_destroy(x);
    array_destroy(list);
}

// Secrets stay owner-only, and a reader that went away costs an error, not our life.
TEST(Dic, SavingReplacesTheFileWholeOrNotAtAll) {
    TempDir dir;
    dic *d = dic_create();
    dic_set_str(d, "big", std::string(200000, 'x').c_str());

    // Files named for secrets are owner-only, narrowed even by a failed save (into a folder).
    const mode_t old_mask = umask(022);
    const struct {
        const char *name;
        int before;
        mode_t after;
    } modes[] = {{"fav.plist.bak", 0, 0600},
                 {"plain.plist", 0, 0644},
                 {"av.plist", 0644, 0600},
                 {"old.plist", 0640, 0640},
                 {"blocked-av.plist", -1, 0600}};
    for (const auto &r : modes) {
        if (r.before) r.before > 0 ? (void)dir.write(r.name, "x", r.before) : (void)mkdir((dir / r.name).c_str(), 0755);
        EXPECT_EQ(dic_save_to_file(d, (dir / r.name).c_str()) < 0, r.before < 0) << r.name;
        EXPECT_EQ(static_cast<mode_t>(std::filesystem::status(dir / r.name).permissions()), r.after) << r.name;
    }
    umask(old_mask);
    // Root replacing a file of another account, or of another group, hands the new one on.
    for (const auto &[uid, gid] : {std::pair{54321, 0}, {0, 54322}}) {
        struct stat st {};
        if (geteuid() != 0) continue;  // only root can hand a file to another account
        ASSERT_EQ(chown(dir.write("theirs.plist", "x", 0640).c_str(), uid, gid), 0);
        EXPECT_EQ(dic_save_to_file(d, (dir / "theirs.plist").c_str()) + stat((dir / "theirs.plist").c_str(), &st), 0);
        EXPECT_EQ(std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid),
                  std::to_string(uid) + ":" + std::to_string(gid));
    }

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

// Each row is a fault once seen, or beside it the same call on honest input; each runs in
// a child with a deadline, so that a hang or a signal fails its row, not the run.
TEST(Dic, HostileFilesAndListsGiveAWholeAnswerNeverAHangASignalOrALoss) {
    TempDir dir;
    std::string many = "<plist><dict>";
    for (int i = 0; i < 20000; ++i) many += "<key>k" + std::to_string(i) + "</key><string>v</string>";
    many += "</dict></plist>";
    const std::string torn = dir.write("torn.plist", many), fifo = dir / "p/fifo";
    ASSERT_EQ(mkfifo(dir.mkdirs("p").append("/fifo").c_str(), 0600), 0);
    for (const char *f : {"rw/full", "rw/free", "ro/full", "ro/free"}) dir.write(f, "old", 0666);
    for (const auto &[path, mode] : {std::pair{dir.path(), 0755}, {dir / "rw", 0777}, {fifo, 0666}, {dir / "ro", 0555}})
        chmod(path.c_str(), static_cast<mode_t>(mode));  // "ro" takes no temporary file: saved in place
    auto count = [](dic *d) {
        std::string n = d ? std::to_string(dic_get_count(d)) : "NULL";
        return dic_destroy(d), n;
    };
    // Loads through a descriptor while a thread keeps emptying and refilling the file.
    auto load_while_rewritten = [&] {
        int fd = open(torn.c_str(), O_RDWR);
        std::thread([&, fd] {
            for (;;) (void)!ftruncate(fd, 0), (void)!pwrite(fd, many.data(), many.size(), 0);
        }).detach();
        std::string seen = "whole or NULL";
        for (int i = 0; i < 100; ++i)
            if (std::string n = count(dic_load_from_fd(fd)); n != "20000" && n != "NULL") seen = "torn";
        return seen;
    };
    // A big dictionary saved as nobody (so the folder's permission counts), a file-size
    // limit standing in for a full disk if asked: the result, the file's start, the
    // number of entries in its folder.
    auto save = [&](const std::string &name, bool full) {
        const rlimit limit = {65536, 65536};
        if ((geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) ||
            (full && setrlimit(RLIMIT_FSIZE, &limit) != 0))
            return std::string("cannot drop root or set the limit");
        signal(SIGXFSZ, SIG_IGN);
        dic *d = dic_create();
        dic_set_str(d, "big", std::string(200000, 'x').c_str());
        int rc = dic_save_to_file(d, (dir / name).c_str());
        dic_destroy(d);
        return std::to_string(rc) + " " + (name == "p/fifo" ? "-" : dir.read(name).substr(0, 5)) + " " +
               std::to_string(bwv::test::list_dir(dir / name.substr(0, name.find('/'))).size());
    };
    // The list under "l" of d (then destroyed), or of a new dictionary storing items there.
    auto list = [](std::vector<const char *> items, dic *d = nullptr) {
        parray *in = parray_create(0), *out;
        for (const char *item : items) parray_add(in, const_cast<char *>(item));
        if (!d) dic_set_str_parray(d = dic_create(), "l", in);
        std::string got;
        out = dic_get_str_parray(d, "l");
        for (int i = 0; out && i < parray_count(out); ++i)
            got += static_cast<char *>(parray_at(out, i)) + std::string(",");
        return parray_destroy(in), parray_destroy_free(out), dic_destroy(d), got;
    };
    const std::string gaps = dir.write("gaps.plist",
                                       "<plist><dict><key>l</key><dict><key>0</key><string>a</string>"
                                       "<key>2</key><string>c</string><key>x</key><string>y</string>"
                                       "<key>10</key><string>d</string></dict></dict></plist>");
    // A dictionary stored into itself, directly or through what it holds; then into another.
    auto cycles = [] {
        dic *top = dic_create(), *mid = dic_create(), *other = dic_create();
        array *arr = array_create(), *holder = array_create();
        dic_set_dic(top, "mid", mid), dic_set_array(mid, "arr", arr), array_append_dic(holder, top);
        std::string out;
        for (int rc :
             {dic_set_dic(top, "self", top), dic_set_dic(mid, "top", top), array_append_dic(arr, top),
              dic_set_array(mid, "holder", holder), dic_set_dic(other, "top", top), array_append_dic(holder, other)})
            out += std::to_string(rc) + " ";
        dic_destroy(top), dic_destroy(mid), dic_destroy(other), array_destroy(arr), array_destroy(holder);
        return out;
    };
    const bwv::test::CallRow<std::string> rows[] = {
        {"load of a FIFO without a writer", [&] { return count(dic_load_from_file(fifo.c_str())); }, "NULL"},
        {"descriptor load while the file is rewritten", load_while_rewritten, "whole or NULL"},
        {"save to a FIFO without a reader", [&] { return save("p/fifo", false); }, "-10 - 1"},
        {"save stopped by a full disk", [&] { return save("rw/full", true); }, "-10 old 2"},
        {"  through a link, which stays",
         [&] {
             std::string got = std::to_string(symlink("free", (dir / "rw/link").c_str())) + " ";
             got += save("rw/link", false);
             return got + (std::filesystem::is_symlink(dir / "rw/link") ? "" : " replaced");
         },
         "0 0 <?xml 3"},
        {"  through a link nobody may read (another process's folder)",
         [&] {
             return symlink("/proc/1/cwd", (dir / "rw/unread").c_str()) == 0 ? save("rw/unread", false) : "no link";
         },
         "-13  4"},
        {"save in place stopped by a full disk", [&] { return save("ro/full", true); }, "-10 old 2"},
        {"  with room", [&] { return save("ro/free", false); }, "0 <?xml 2"},
        {"list with items that are not stored",
         [&] {
             return list({"a", "\xff", nullptr, "c"});
         },
         "a,c,"},
        {"list stored with gaps, loaded with descriptor 0 free",
         [&] { return close(0), list({}, dic_load_from_file(gaps.c_str())); }, "a,c,d,"},
        {"cycles", cycles, "-4 -4 -4 -4 0 0 "},
        {"save of a new file with descriptor 0 free", [&] { return close(0), save("rw/new", false); }, "0 <?xml 5"},
        {"save to descriptor 0",
         [&] { return close(0), std::to_string(open(torn.c_str(), O_WRONLY) + dic_save_to_fd(dic_create(), 0)); }, "0"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(bwv::test::in_fresh_process([&] { return alarm(20), row.call(); }), row.want) << row.what;
    chmod((dir / "ro").c_str(), 0755);
}

}  // namespace
