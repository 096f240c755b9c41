#include <bwvutil/dic.h>

#include "lib/core/plobj.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

namespace pl = bwv::pl;

namespace {

// Error codes of the platform's file-writing call, which dic_save_to_file passes on.
constexpr int kWriteUnknownError = -10;
constexpr int kWriteResourceNotFound = -12;
constexpr int kWriteAccessViolation = -13;

bool usable(const dic *d) { return d && d->ref; }
bool usable(const array *a) { return a && a->ref; }

// A setter may change only a mutable dictionary (not one loaded from a descriptor).
bool writable(const dic *d) { return usable(d) && pl::is_mutable(d->ref); }

bool valid_key(const char *key) { return pl::valid_utf8(key); }

char *copy_cstring(const std::string &s) {
    auto *out = static_cast<char *>(malloc(s.size() + 1));
    if (out) memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

dic *wrap_dic(plobj *ref) {
    auto *d = static_cast<dic *>(malloc(sizeof(dic)));
    if (!d) {
        plobj_release(ref);
        return nullptr;
    }
    d->ref = ref;
    return d;
}

array *wrap_array(plobj *ref) {
    auto *a = static_cast<array *>(malloc(sizeof(array)));
    if (!a) {
        plobj_release(ref);
        return nullptr;
    }
    a->ref = ref;
    return a;
}

// Loaded objects must be dictionaries: a handle over anything else would be misread by
// every dic_ function.
dic *dict_handle_or_null(plobj *root) {
    if (!root) return nullptr;
    if (pl::kind(root) != pl::Kind::Dict) {
        plobj_release(root);
        return nullptr;
    }
    return wrap_dic(root);
}

// Reads a regular file whole with pread() from offset 0, never through a mapping: a writer
// truncating it meanwhile (an in-place save by another process) then gives a short read
// and a parse failure, not SIGBUS; and a caller's descriptor keeps its position.
plobj *parse_open_file(int fd, bool is_mutable) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > INT32_MAX) return nullptr;
    size_t size = static_cast<size_t>(st.st_size);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[size]);
    if (!bytes) return nullptr;
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, bytes.get() + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the file shrank meanwhile: parse what was there
        done += static_cast<size_t>(n);
    }
    if (done == 0) return nullptr;
    try {
        return pl::parse(bytes.get(), done, is_mutable);
    } catch (...) {
        return nullptr;
    }
}

// A FIFO without a writer would block the open itself, so the open does not wait and
// anything but a regular file is refused by parse_open_file.
plobj *parse_regular_file(const char *path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    plobj *root = parse_open_file(fd, true);
    close(fd);
    return root;
}

bool write_all(int fd, const std::string &bytes, bool socket = false) {
    size_t done = 0;
    while (done < bytes.size()) {
        const char *from = bytes.data() + done;
        size_t left = bytes.size() - done;
        ssize_t n = socket ? send(fd, from, left, MSG_NOSIGNAL) : write(fd, from, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A pipe or socket whose reader has gone must cost the caller an error, not its life:
// sockets are told not to raise SIGPIPE, and for a pipe the signal is blocked on this
// thread and the one the write raised is taken back before the old mask returns.
bool write_all_without_sigpipe(int fd, const std::string &bytes, const struct stat &st) {
    if (S_ISSOCK(st.st_mode)) return write_all(fd, bytes, true);
    if (!S_ISFIFO(st.st_mode)) return write_all(fd, bytes);
    sigset_t pipe_set, old_set, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set) != 0) return false;
    // One that was pending already belongs to someone else and stays.
    bool was_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    bool ok = write_all(fd, bytes);
    int err = errno;
    if (!ok && err == EPIPE && !was_pending) {
        struct timespec zero {};
        while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    errno = err;
    return ok;
}

int write_error_code(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return kWriteResourceNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return kWriteAccessViolation;
        default:
            return kWriteUnknownError;
    }
}

bool pwrite_all(int fd, const char *bytes, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, bytes + done, len - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The old file rewritten through its own descriptor, for where no new file can be made
// beside it. Room for the new content is reserved before the first byte changes, so a
// full disk, a quota or a size limit refuses the save with the old file whole; a write
// that fails after that puts the old bytes back (when the descriptor can read them).
int rewrite(int fd, const std::string &bytes) {
    struct stat st;
    if (fstat(fd, &st) != 0) return write_error_code(errno);
    size_t old_size = static_cast<size_t>(st.st_size);
    std::unique_ptr<char[]> backup(new (std::nothrow) char[old_size + 1]);
    if (!backup) return kWriteUnknownError;
    size_t kept = 0;
    while (kept < old_size) {
        ssize_t n = pread(fd, backup.get() + kept, old_size - kept, static_cast<off_t>(kept));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        kept += static_cast<size_t>(n);
    }
    size_t need = std::max(bytes.size(), old_size);
    if (int err = need ? posix_fallocate(fd, 0, static_cast<off_t>(need)) : 0; err != 0) {
        // A reservation that failed part way may have grown the file; its bytes are untouched.
        (void)!ftruncate(fd, static_cast<off_t>(old_size));
        return write_error_code(err);
    }
    if (pwrite_all(fd, bytes.data(), bytes.size()) && ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 &&
        fdatasync(fd) == 0)
        return 0;
    int err = errno;
    if (kept == old_size && pwrite_all(fd, backup.get(), old_size)) (void)!ftruncate(fd, static_cast<off_t>(old_size));
    return write_error_code(err);
}

// The file a path names once symbolic links are followed: a save replaces the file a link
// points to, never the link. A dangling link names the file to create.
bool resolve_links(const char *path, std::string &out) {
    std::string cur = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            out = std::move(cur);
            return true;
        }
        char buf[PATH_MAX];
        ssize_t n = readlink(cur.c_str(), buf, sizeof buf);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) {
            if (n >= 0) errno = n == 0 ? ENOENT : ENAMETOOLONG;
            return false;
        }
        std::string target(buf, static_cast<size_t>(n));
        size_t slash = cur.rfind('/');
        cur = target[0] == '/' || slash == std::string::npos ? target : cur.substr(0, slash + 1) + target;
    }
    errno = ELOOP;
    return false;
}

// A new file named after `prefix` plus six random characters, made only if nothing by
// that name exists (a planted link or file is never opened). `name` must have room for
// them, so that nothing is allocated once a file may exist.
int create_temporary(const std::string &prefix, mode_t mode, std::string &name) {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint64_t r = 0;
        if (getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r))
            r = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(time(nullptr)) ^
                (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
        name.assign(prefix);
        for (int i = 0; i < 6; ++i, r /= 62) name.push_back(kChars[r % 62]);
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Whether the folder refused the temporary file itself, so that writing in place is the
// only way left to save.
bool folder_takes_no_new_file(int err) { return err == EACCES || err == EPERM || err == EROFS || err == ENAMETOOLONG; }

// The temporary name need only be unique; a long target name leaves no room for its
// suffix within the longest name a folder takes, so only its start is used.
constexpr size_t kTempNameKeep = 200;

// The new content goes to a temporary file beside the old one, reaches the disk, and only
// then takes the old file's name: a reader, a crash or a full disk leaves the old file or
// the new one, never a torn one.
// The names a save uses: the file links resolve to, its folder, and the temporary file
// made beside it.
struct SaveNames {
    std::string target, name, folder, prefix, temp;
};

// 0, or the save's error code when the links do not resolve or name no file.
int form_names(const char *path, SaveNames &n) {
    std::string &target = n.target;
    if (!resolve_links(path, target)) return write_error_code(errno);
    // Every name is formed before the first file is touched: running out of memory
    // later must not leave a temporary file behind or report a save that happened.
    size_t slash = target.rfind('/');
    n.name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    n.folder = std::move(folder);
    n.prefix =
        target.substr(0, slash == std::string::npos ? 0 : slash + 1) + "." + n.name.substr(0, kTempNameKeep) + ".";
    n.temp.reserve(n.prefix.size() + 6);
    if (n.name.empty() || n.name == "." || n.name == "..") return kWriteAccessViolation;
    return 0;
}

// The old file must be writable, as for a save in place; a folder the caller may
// write to does not let it replace a file it may not. It is opened for reading too
// where it may be, so that a failed rewrite in place can be undone. 0 with old open,
// or the save's error code with nothing open.
int open_old_file(const std::string &target, bool secret, struct stat &st, int &old) {
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    old = open(target.c_str(), O_RDWR | flags);
    if (old < 0 && errno == EACCES) old = open(target.c_str(), O_WRONLY | flags);
    if (old < 0) return write_error_code(errno);
    int rc = 0;
    if (fstat(old, &st) != 0 || !S_ISREG(st.st_mode))
        rc = kWriteUnknownError;  // swapped for something else since the stat
    else if (secret && fchmod(old, 0600) != 0)
        rc = write_error_code(errno);
    if (rc != 0) {
        close(old);
        old = -1;
    }
    return rc;
}

// Writes the temporary file fd and renames it over the target; the errno of the first
// step that fails, else 0. in_place says the old file is to be rewritten instead.
int replace_with_temporary(int fd, const SaveNames &n, const std::string &bytes, bool exists, bool secret,
                           const struct stat &st, bool &in_place) {
    int err = write_all(fd, bytes) ? 0 : errno != 0 ? errno : EIO;
    if (err == 0 && exists) {
        // The replacement keeps the old file's owner, group and permissions; where the
        // owner cannot be handed on, the old file is written in place instead.
        struct stat ts;
        if (fstat(fd, &ts) == 0 && (ts.st_uid != st.st_uid || ts.st_gid != st.st_gid) &&
            fchown(fd, st.st_uid, st.st_gid) != 0)
            in_place = true;
        else if (fchmod(fd, secret ? 0600 : st.st_mode & 07777) != 0)
            err = errno;
    }
    if (err == 0 && !in_place && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && err == 0 && !in_place) err = errno;
    if (err == 0 && !in_place && rename(n.temp.c_str(), n.target.c_str()) != 0) err = errno;
    return err;
}

int write_file(const char *path, const std::string &bytes, bool secret) {
    SaveNames n;
    if (int rc = form_names(path, n)) return rc;
    // Only a regular file is replaced: a pipe without a reader would block the save and a
    // device would take the bytes elsewhere.
    struct stat st;
    bool exists = stat(n.target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? kWriteAccessViolation : kWriteUnknownError;

    int old = -1;
    if (exists)
        if (int rc = open_old_file(n.target, secret, st, old)) return rc;
    auto finish = [&](int rc) {
        if (old >= 0 && close(old) != 0 && rc == 0) rc = write_error_code(errno);
        return rc;
    };

    int fd = create_temporary(n.prefix, exists || secret ? 0600 : 0666, n.temp);
    if (fd < 0) {
        int err = errno;
        return finish(old >= 0 && folder_takes_no_new_file(err) ? rewrite(old, bytes) : write_error_code(err));
    }

    bool in_place = false;
    int err = replace_with_temporary(fd, n, bytes, exists, secret, st, in_place);
    if (err != 0 || in_place) {
        unlink(n.temp.c_str());
        return finish(err == 0 ? rewrite(old, bytes) : write_error_code(err));
    }
    // The new name lasts across a crash only once the folder itself is on disk.
    int dir = open(n.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return finish(0);
}

// Like the platform's string-to-int: optional space and sign, then digits; saturates.
int leading_int(const std::string &s) {
    const char *p = s.c_str();
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    int64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p++ - '0');
        if (v > static_cast<int64_t>(INT_MAX) + 1) return neg ? INT_MIN : INT_MAX;
    }
    v = neg ? -v : v;
    if (v > INT_MAX) return INT_MAX;
    return static_cast<int>(v);
}

int number_to_int(const plobj *n) {
    if (pl::kind(n) == pl::Kind::Integer) return static_cast<int>(static_cast<int32_t>(pl::int_value(n)));
    double v = pl::real_value(n);
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(v);
}

// The index a string-list key stands for ("0", "1", ... as "%d" writes them); -1 for any
// other key.
int list_index(const std::string &key) {
    if (key.empty() || key.size() > 10 || (key[0] == '0' && key.size() > 1)) return -1;
    int64_t v = 0;
    for (char c : key) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v > INT_MAX ? -1 : static_cast<int>(v);
}

// Whether `from` is `target` or holds it at any depth: storing `from` into `target` would
// make a cycle, which no release ever frees.
bool reaches(plobj *from, const plobj *target) {
    std::vector<plobj *> todo{from};
    std::unordered_set<const plobj *> seen;
    while (!todo.empty()) {
        plobj *o = todo.back();
        todo.pop_back();
        if (o == target) return true;
        if (!seen.insert(o).second) continue;
        if (pl::kind(o) == pl::Kind::Dict) {
            for (const auto &entry : pl::dict_entries(o)) todo.push_back(entry.second);
        } else if (pl::kind(o) == pl::Kind::Array) {
            for (size_t i = 0, n = pl::count(o); i < n; ++i) todo.push_back(pl::array_at(o, i));
        }
    }
    return false;
}

plobj *value_for(dic *d, const char *key) {
    if (!usable(d) || !key || !valid_key(key)) return nullptr;
    return pl::dict_get(d->ref, key);
}

int store(dic *d, const char *key, plobj *value) {
    pl::Ref owned(value);
    if (!owned) return -3;
    return pl::dict_set(d->ref, key, owned.get()) ? 0 : -1;
}

}  // namespace

extern "C" {

dic *dic_create(void) {
    try {
        return wrap_dic(pl::make_dict(true));
    } catch (...) {
        return nullptr;
    }
}

int dic_destroy(dic *d) {
    if (!usable(d)) return -1;
    plobj_release(d->ref);
    free(d);
    return 0;
}

dic *dic_load_from_file(const char *path) {
    if (!path || !*path || !pl::valid_utf8(path)) return nullptr;
    return dict_handle_or_null(parse_regular_file(path));
}

dic *dic_load_from_fd(int fd) {
    if (fd <= 0) return nullptr;
    return dict_handle_or_null(parse_open_file(fd, false));
}

int dic_save_to_file(dic *d, const char *path) {
    if (!usable(d) || !path) return -1;
    if (!pl::valid_utf8(path)) return -2;
    bool secret = strstr(path, "av.plist") != nullptr;
    int rc;
    try {
        std::string xml = pl::to_xml(d->ref);
        rc = xml.empty() ? -1 : write_file(path, xml, secret);
    } catch (...) {
        rc = -1;
    }
    if (secret) chmod(path, 0600);
    return rc;
}

int dic_save_to_fd(dic *d, int fd) {
    if (!usable(d) || fd < 0) return -1;
    try {
        std::string xml = pl::to_xml(d->ref);
        if (xml.empty()) return -1;
        // Only a file can be truncated; a pipe or socket simply takes the bytes. A file
        // that keeps its old tail would be corrupt, so that is a failure.
        struct stat st;
        if (fstat(fd, &st) != 0) return -2;
        if (ftruncate(fd, 0) != 0 && S_ISREG(st.st_mode)) return -2;
        return write_all_without_sigpipe(fd, xml, st) ? 0 : -2;
    } catch (...) {
        return -1;
    }
}

int dic_get_count(dic *d) {
    if (!usable(d)) return -1;
    return static_cast<int>(pl::count(d->ref));
}

char **dic_get_keys(dic *d) {
    if (!usable(d) || pl::count(d->ref) == 0) return nullptr;
    try {
        std::vector<std::string> keys = pl::dict_keys(d->ref);
        // One spare slot keeps the array NULL-terminated for callers that walk it.
        auto **out = static_cast<char **>(calloc(keys.size() + 1, sizeof(char *)));
        if (!out) return nullptr;
        for (size_t i = 0; i < keys.size(); ++i) {
            out[i] = copy_cstring(keys[i]);
            // A key array with holes would be read as a shorter list of keys.
            if (!out[i]) {
                for (size_t k = 0; k < i; ++k) free(out[k]);
                free(out);
                return nullptr;
            }
        }
        return out;
    } catch (...) {
        return nullptr;
    }
}

char *Copy_CFStringRefToCString(plobj *str) {
    if (!str || pl::kind(str) != pl::Kind::String) return nullptr;
    const std::string &s = pl::string_value(str);
    // The platform sizes the block for the worst case: 3 bytes per UTF-16 unit.
    size_t units = 0;
    for (unsigned char c : s) units += (c & 0xC0) != 0x80 ? (c >= 0xF0 ? 2 : 1) : 0;
    auto *out = static_cast<char *>(malloc(std::max(units * 3, s.size()) + 1));
    if (out) memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

char *dic_get_str(dic *d, const char *key) {
    plobj *v = value_for(d, key);
    if (!v || pl::kind(v) != pl::Kind::String) return nullptr;
    return copy_cstring(pl::string_value(v));
}

int dic_get_int(dic *d, const char *key) {
    plobj *v = value_for(d, key);
    if (!v) return -1;
    switch (pl::kind(v)) {
        case pl::Kind::Integer:
        case pl::Kind::Real:
            return number_to_int(v);
        case pl::Kind::String:
            return leading_int(pl::string_value(v));
        case pl::Kind::Boolean:
            return pl::bool_value(v) ? 1 : 0;
        default:
            return -1;
    }
}

dic *dic_get_dic(dic *d, const char *key) {
    plobj *v = value_for(d, key);
    if (!v || pl::kind(v) != pl::Kind::Dict) return nullptr;
    return wrap_dic(plobj_retain(v));
}

array *dic_get_array(dic *d, const char *key) {
    plobj *v = value_for(d, key);
    if (!v || pl::kind(v) != pl::Kind::Array) return nullptr;
    return wrap_array(plobj_retain(v));
}

int dic_has_key(dic *d, plobj *key) {
    if (!usable(d) || !key) return -1;
    if (pl::kind(key) != pl::Kind::String) return 0;
    return pl::dict_get(d->ref, pl::string_value(key)) ? 1 : 0;
}

parray *dic_get_str_parray(dic *d, const char *key) {
    plobj *list = value_for(d, key);
    if (!list || pl::kind(list) != pl::Kind::Dict || pl::count(list) == 0) return nullptr;
    try {
        // By index in numeric order, not by counting up from "0": a list with a gap (one
        // stored by an older version, or edited by hand) loses nothing after it.
        std::vector<std::pair<int, plobj *>> items;
        for (const auto &[name, value] : pl::dict_entries(list)) {
            int index = list_index(name);
            if (index >= 0 && pl::kind(value) == pl::Kind::String) items.emplace_back(index, value);
        }
        std::sort(items.begin(), items.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
        parray *out = parray_create(0);
        for (size_t i = 0; out && i < items.size(); ++i) {
            // An item that could not be copied fails the list rather than shortening it.
            char *s = copy_cstring(pl::string_value(items[i].second));
            if (!s || parray_add(out, s) != 0) {
                free(s);
                parray_destroy_free(out);
                out = nullptr;
            }
        }
        return out;
    } catch (...) {
        return nullptr;
    }
}

int dic_show(dic *d) {
    if (!usable(d)) return -1;
    std::string text;
    try {
        text = pl::description(d->ref);
    } catch (...) {
        text.clear();
    }
    printf("\n\tDictionary description is: \n%s\n", text.empty() ? "<NULL>" : text.c_str());
    fflush(stdout);
    return 0;
}

int dic_set_str(dic *d, const char *key, const char *value) {
    if (!writable(d) || !key || !value) return -1;
    if (!valid_key(key)) return -2;
    if (!pl::valid_utf8(value)) return -3;
    try {
        return store(d, key, pl::make_string(value)) == 0 ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int dic_set_int(dic *d, const char *key, int value) {
    if (!writable(d) || !key) return -1;
    if (!valid_key(key)) return -2;
    try {
        return store(d, key, pl::make_int(value));
    } catch (...) {
        return -3;
    }
}

int dic_set_boolean(dic *d, const char *key, int flag) {
    if (!writable(d) || !key) return -1;
    if (!valid_key(key)) return -2;
    try {
        return store(d, key, pl::make_bool(flag != 0)) == 0 ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int dic_set_dic(dic *d, const char *key, dic *nested) {
    if (!writable(d) || !key || !nested) return -1;
    if (!valid_key(key)) return -2;
    if (!nested->ref) return -3;
    try {
        if (reaches(nested->ref, d->ref)) return -4;
        return pl::dict_set(d->ref, key, nested->ref) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int dic_set_array(dic *d, const char *key, array *a) {
    if (!writable(d) || !key || !usable(a)) return -1;
    if (!valid_key(key)) return -2;
    try {
        if (reaches(a->ref, d->ref)) return -4;
        return pl::dict_set(d->ref, key, a->ref) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

int dic_set_str_parray(dic *d, const char *key, parray *list) {
    // A key that cannot be stored is refused up front rather than reported as stored.
    if (!writable(d) || !key || !list || !valid_key(key)) return -1;
    dic *nested = dic_create();
    if (!nested) return -2;
    // Out of memory (-1 from a setter whose arguments are all valid) stores nothing at all
    // rather than a list missing items; an item that is not UTF-8 is skipped as before.
    // Items skipped (NULL, or not UTF-8) take no index, so the indices stay contiguous and
    // every stored item is read back.
    int rc = 0, stored = 0;
    int n = parray_count(list);
    for (int i = 0; rc == 0 && i < n; ++i) {
        auto *item = static_cast<const char *>(parray_at(list, i));
        if (!item) continue;
        char index[16];
        snprintf(index, sizeof index, "%d", stored);
        int set = dic_set_str(nested, index, item);
        if (set == -1)
            rc = -2;
        else if (set == 0)
            ++stored;
    }
    if (rc == 0 && dic_set_dic(d, key, nested) != 0) rc = -2;
    dic_destroy(nested);
    return rc;
}

array *array_create(void) {
    try {
        return wrap_array(pl::make_array(true));
    } catch (...) {
        return nullptr;
    }
}

int array_destroy(array *a) {
    if (!usable(a)) return -1;
    plobj_release(a->ref);
    free(a);
    return 0;
}

int array_append_dic(array *a, dic *d) {
    if (!usable(a) || !usable(d)) return -1;
    try {
        if (reaches(d->ref, a->ref)) return -4;
        return pl::array_append(a->ref, d->ref) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

dic *array_get_dic(array *a, int index) {
    if (!usable(a) || index < 0) return nullptr;
    plobj *v = pl::array_at(a->ref, static_cast<size_t>(index));
    if (!v || pl::kind(v) != pl::Kind::Dict) return nullptr;
    return wrap_dic(plobj_retain(v));
}

int64_t array_get_count(array *a) {
    if (!usable(a)) return -1;
    return static_cast<int64_t>(pl::count(a->ref));
}

}  // extern "C"
