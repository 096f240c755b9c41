#include "platform/qt/filemanager.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bwv::platform {

namespace {

QByteArray enc(const QString &path) { return QFile::encodeName(path); }

bool fail(QString *error, const QString &what, int err) {
    if (error) *error = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
    return false;
}

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

bool removeRaw(const QByteArray &path, QString *error) {
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) return fail(error, QFile::decodeName(path), errno);
    if (S_ISDIR(st.st_mode)) {
        std::vector<QByteArray> names;
        int err = 0;
        if (!listRaw(path, names, err)) return fail(error, QFile::decodeName(path), err);
        for (const QByteArray &n : names)
            if (!removeRaw(path + '/' + n, error)) return false;
        if (::rmdir(path.constData()) != 0) return fail(error, QFile::decodeName(path), errno);
        return true;
    }
    if (::unlink(path.constData()) != 0) return fail(error, QFile::decodeName(path), errno);
    return true;
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

bool FileManager::createDirectoryAtPath(const QString &path, bool withIntermediateDirectories,
                                        QString *error) {
    if (path.isEmpty()) return fail(error, QStringLiteral("empty path"), EINVAL);
    if (withIntermediateDirectories) {
        struct stat st;
        if (::stat(enc(path).constData(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return true;
            return fail(error, path, EEXIST);
        }
        QDir parent = QFileInfo(path).absoluteDir();
        if (!parent.exists() && !createDirectoryAtPath(parent.absolutePath(), true, error))
            return false;
    }
    if (::mkdir(enc(path).constData(), 0777) != 0) {
        if (withIntermediateDirectories && errno == EEXIST && QFileInfo(path).isDir()) return true;
        return fail(error, path, errno);
    }
    return true;
}

std::optional<QStringList> FileManager::contentsOfDirectoryAtPath(const QString &path,
                                                                  QString *error) {
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

QString ProcessInfo::globallyUniqueString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

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

QString temporaryDirectory() {
    QString t = QDir::tempPath();
    if (!t.endsWith(QLatin1Char('/'))) t += QLatin1Char('/');
    return t;
}

}  // namespace bwv::platform
