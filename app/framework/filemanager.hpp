// File-manager operations, process information and the user's temporary directory.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace bwv::platform {

class FileManager {
public:
    // True when something exists at `path`; a symbolic link counts by its target.
    static bool fileExistsAtPath(const QString &path);

    // Also true (and nothing done) when the directory already exists, if intermediates are
    // allowed; false with a reason in `error` otherwise. Mode 0777 less the umask.
    static bool createDirectoryAtPath(const QString &path, bool withIntermediateDirectories, QString *error = nullptr);

    // The names in a folder (no "." or ".."; hidden names included), in no set order;
    // nullopt when it cannot be read.
    static std::optional<QStringList> contentsOfDirectoryAtPath(const QString &path, QString *error = nullptr);

    // True when this process may read the item.
    static bool isReadableFileAtPath(const QString &path);

    // Copies a file, a link (as a link) or a folder with everything under it, keeping
    // permission bits. Fails when something exists at `to` already. A copy that fails
    // half-way removes what it made, so nothing half-done is left at `to`.
    static bool copyItemAtPath(const QString &from, const QString &to, QString *error = nullptr);

    // Removes a file, a link (not its target) or a folder with everything under it. No link
    // is ever followed below `path`, not even one swapped in while the removal runs.
    static bool removeItemAtPath(const QString &path, QString *error = nullptr);

    // True when the item (not a link) belongs to this user and no other account may write it.
    static bool isPrivateItemAtPath(const QString &path);

    // The file's contents as UTF-8 text; nullopt when it cannot be read or is not UTF-8.
    static std::optional<QString> stringWithContentsOfFile(const QString &path);
};

class ProcessInfo {
public:
    // A new string on every call, unique across processes and hosts (upper-case UUID
    // form); fit for a file name.
    static QString globallyUniqueString();

    // The process's arguments as given, the program path first.
    static QStringList arguments();
};

// The user's own folder for temporary files, with a trailing slash: $TMPDIR when it is a
// folder of the user's that no other account can write; else "brindlewave-tmp" in the
// user's cache folder (both created 0700 when missing); else $XDG_RUNTIME_DIR when only the
// user may enter it. "" when the user has no such folder.
QString temporaryDirectory();

}  // namespace bwv::platform
