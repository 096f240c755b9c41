#include "app/framework/filemanager.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bwv::platform {

namespace {

QByteArray enc(const QString &path) { return QFile::encodeName(path); }

bool fail(QString *error, const QString &what, int err) {
    if (error) *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
    return false;
}

bool removeAt(int parent, const QByteArray &name, const QByteArray &shown, QString *error);

// Names in a directory, by raw bytes so no name is lost to decoding.
bool listRaw(const QByteArray &dir, std::vector<QByteArray> &names, int &err) {
    DIR *d = ::opendir(dir.constData());
    if (!d) {
        err = errno;
        return false;
    }
    while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return true;
}

// Empties the open folder `dir`. Every name is examined and opened relative to its folder
// and never through a link, so a folder swapped for a link while the removal runs is removed
// as a link, not entered.
bool emptyFolderAt(int dir, const QByteArray &shown, QString *error) {
    const int listing = ::dup(dir);
    if (listing < 0) return fail(error, QFile::decodeName(shown), errno);
    DIR *d = ::fdopendir(listing);
    if (!d) {
        const int err = errno;
        ::close(listing);
        return fail(error, QFile::decodeName(shown), err);
    }
    std::vector<QByteArray> names;
    while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    for (const QByteArray &n : names)
        if (!removeAt(dir, n, shown + '/' + n, error)) return false;
    return true;
}

bool removeAt(int parent, const QByteArray &name, const QByteArray &shown, QString *error) {
    struct stat st;
    if (::fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(error, QFile::decodeName(shown), errno);
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(parent, name.constData(), 0) != 0) return fail(error, QFile::decodeName(shown), errno);
        return true;
    }
    const int dir = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return fail(error, QFile::decodeName(shown), errno);
    const bool emptied = emptyFolderAt(dir, shown, error);
    ::close(dir);
    if (!emptied) return false;
    if (::unlinkat(parent, name.constData(), AT_REMOVEDIR) != 0) return fail(error, QFile::decodeName(shown), errno);
    return true;
}

bool removeRaw(QByteArray path, QString *error) {
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    const QByteArray name = path.mid(slash + 1);
    if (name.isEmpty() || name == "." || name == "..") return fail(error, QFile::decodeName(path), EINVAL);
    const int parent = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return fail(error, QFile::decodeName(path), errno);
    const bool removed = removeAt(parent, name, path, error);
    ::close(parent);
    return removed;
}

bool copyFile(const QByteArray &from, const QByteArray &to, mode_t mode, QString *error) {
    int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail(error, QFile::decodeName(from), errno);
    int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return fail(error, QFile::decodeName(to), err);
    }
    char buf[65536];
    bool ok = true;
    int err = 0;
    for (;;) {
        ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            err = errno;
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                ok = false;
                err = errno;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    if (ok && ::fchmod(out, mode & 07777) != 0) {
        ok = false;
        err = errno;
    }
    ::close(in);
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    return ok ? true : fail(error, QFile::decodeName(to), err);
}

bool copyRaw(const QByteArray &from, const QByteArray &to, QString *error) {
    struct stat st;
    if (::lstat(from.constData(), &st) != 0) return fail(error, QFile::decodeName(from), errno);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = ::readlink(from.constData(), target.data(), target.size());
        if (n < 0) return fail(error, QFile::decodeName(from), errno);
        if (static_cast<size_t>(n) >= target.size()) return fail(error, QFile::decodeName(from), ENAMETOOLONG);
        target[static_cast<size_t>(n)] = '\0';
        if (::symlink(target.data(), to.constData()) != 0) return fail(error, QFile::decodeName(to), errno);
        return true;
    }
    if (S_ISREG(st.st_mode)) return copyFile(from, to, st.st_mode, error);
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(to.constData(), 0700) != 0) return fail(error, QFile::decodeName(to), errno);
        std::vector<QByteArray> names;
        int err = 0;
        if (!listRaw(from, names, err)) return fail(error, QFile::decodeName(from), err);
        for (const QByteArray &n : names)
            if (!copyRaw(from + '/' + n, to + '/' + n, error)) return false;
        if (::chmod(to.constData(), st.st_mode & 07777) != 0) return fail(error, QFile::decodeName(to), errno);
        return true;
    }
    return fail(error, QFile::decodeName(from), ENOTSUP);
}

}  // namespace

bool FileManager::fileExistsAtPath(const QString &path) {
    if (path.isEmpty()) return false;
    struct stat st;
    return ::stat(enc(path).constData(), &st) == 0;
}

bool FileManager::createDirectoryAtPath(const QString &path, bool withIntermediateDirectories, QString *error) {
    if (path.isEmpty()) return fail(error, QStringLiteral("empty path"), EINVAL);
    if (withIntermediateDirectories) {
        struct stat st;
        if (::stat(enc(path).constData(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return true;
            return fail(error, path, EEXIST);
        }
        QDir parent = QFileInfo(path).absoluteDir();
        if (!parent.exists() && !createDirectoryAtPath(parent.absolutePath(), true, error)) return false;
    }
    if (::mkdir(enc(path).constData(), 0777) != 0) {
        if (withIntermediateDirectories && errno == EEXIST && QFileInfo(path).isDir()) return true;
        return fail(error, path, errno);
    }
    return true;
}

std::optional<QStringList> FileManager::contentsOfDirectoryAtPath(const QString &path, QString *error) {
    std::vector<QByteArray> names;
    int err = 0;
    if (path.isEmpty() || !listRaw(enc(path), names, err)) {
        fail(error, path, path.isEmpty() ? EINVAL : err);
        return std::nullopt;
    }
    QStringList out;
    for (const QByteArray &n : names) out << QFile::decodeName(n);
    return out;
}

bool FileManager::isReadableFileAtPath(const QString &path) {
    return !path.isEmpty() && ::access(enc(path).constData(), R_OK) == 0;
}

bool FileManager::copyItemAtPath(const QString &from, const QString &to, QString *error) {
    if (from.isEmpty() || to.isEmpty()) return fail(error, QStringLiteral("empty path"), EINVAL);
    const QByteArray src = enc(from), dst = enc(to);
    struct stat st;
    if (::lstat(dst.constData(), &st) == 0) return fail(error, to, EEXIST);
    if (::lstat(src.constData(), &st) != 0) return fail(error, from, errno);
    if (S_ISDIR(st.st_mode)) {
        // Copying a folder into itself would never end.
        const QString a = QFileInfo(from).canonicalFilePath();
        const QString b = QFileInfo(QFileInfo(to).absolutePath()).canonicalFilePath() + QLatin1Char('/');
        if (!a.isEmpty() && (b == a + QLatin1Char('/') || b.startsWith(a + QLatin1Char('/'))))
            return fail(error, to, EINVAL);
    }
    if (copyRaw(src, dst, error)) return true;
    struct stat made;
    if (::lstat(dst.constData(), &made) == 0) removeRaw(dst, nullptr);
    return false;
}

bool FileManager::removeItemAtPath(const QString &path, QString *error) {
    if (path.isEmpty()) return fail(error, QStringLiteral("empty path"), EINVAL);
    return removeRaw(enc(path), error);
}

std::optional<QString> FileManager::stringWithContentsOfFile(const QString &path) {
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) return std::nullopt;
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decode(bytes);
    if (decode.hasError()) return std::nullopt;
    return text;
}

QString ProcessInfo::globallyUniqueString() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

QStringList ProcessInfo::arguments() {
    if (QCoreApplication::instance()) return QCoreApplication::arguments();
    QFile f(QStringLiteral("/proc/self/cmdline"));
    QStringList out;
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &a : f.readAll().split('\0'))
            if (!a.isEmpty()) out << QString::fromLocal8Bit(a);
    }
    return out;
}

namespace {

// A folder (not a link) of this user's own that no other account can write; with
// `exclusive`, one that no other account can even enter.
bool isOwnFolder(const QByteArray &path, bool exclusive) {
    struct stat st;
    if (path.isEmpty() || ::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    const mode_t others = exclusive ? mode_t(S_IRWXG | S_IRWXO) : mode_t(S_IWGRP | S_IWOTH);
    return st.st_uid == ::geteuid() && (st.st_mode & others) == 0;
}

QByteArray withoutTrailingSlashes(QByteArray path) {
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    return path;
}

QByteArray absoluteEnv(const char *name) {
    const QByteArray v = withoutTrailingSlashes(qgetenv(name));
    return v.startsWith('/') ? v : QByteArray();
}

// The user's cache folder, as the XDG base directories place it.
QByteArray cacheFolder() {
    if (QByteArray xdg = absoluteEnv("XDG_CACHE_HOME"); !xdg.isEmpty()) return xdg;
    QByteArray home = absoluteEnv("HOME");
    if (home.isEmpty()) {
        if (const struct passwd *pw = ::getpwuid(::geteuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
            home = withoutTrailingSlashes(pw->pw_dir);
    }
    return home.isEmpty() ? QByteArray() : (home == "/" ? QByteArray() : home) + "/.cache";
}

}  // namespace

bool FileManager::isPrivateItemAtPath(const QString &path) {
    struct stat st;
    if (path.isEmpty() || ::lstat(enc(path).constData(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
    return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

QString temporaryDirectory() {
    // Files kept here are checked and then used by path, so the folder must be one no other
    // account can create beforehand or write into: never the shared /tmp.
    QByteArray dir = withoutTrailingSlashes(qgetenv("TMPDIR"));
    if (!dir.startsWith('/') || !isOwnFolder(dir, false)) {
        dir = cacheFolder();
        if (!dir.isEmpty()) {
            ::mkdir(dir.constData(), 0700);
            dir = isOwnFolder(dir, false) ? dir + "/brindlewave-tmp" : QByteArray();
            if (!dir.isEmpty()) ::mkdir(dir.constData(), 0700);
        }
        if (!isOwnFolder(dir, true)) {
            dir = absoluteEnv("XDG_RUNTIME_DIR");
            if (!isOwnFolder(dir, true)) return QString();
        }
    }
    QString t = QFile::decodeName(dir);
    if (!t.endsWith(QLatin1Char('/'))) t += QLatin1Char('/');
    return t;
}

}  // namespace bwv::platform
