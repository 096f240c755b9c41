// Temporary folders and fake roots for tests.
#pragma once

#include <QByteArray>
#include <QString>

namespace bwv::test {

// A fresh folder (mkdtemp, under $TMPDIR or /tmp), removed with everything in it when the
// object goes away. Safe under parallel runs.
class QtTempDir {
public:
    explicit QtTempDir(const char *prefix = "bwvtest");
    ~QtTempDir();
    QtTempDir(const QtTempDir &) = delete;
    QtTempDir &operator=(const QtTempDir &) = delete;

    bool isValid() const { return !path_.isEmpty(); }
    const QString &path() const { return path_; }

    // `relative` joined to the folder ("a/b" -> <path>/a/b).
    QString filePath(const QString &relative) const;

    // Writes `content` to `relative`, creating folders on the way; `mode` as for chmod.
    // Answers the full path; throws std::runtime_error when it cannot.
    QString writeFile(const QString &relative, const QByteArray &content, int mode = 0644) const;

    // Creates the folder `relative` with intermediates; answers the full path.
    QString makeDir(const QString &relative) const;

private:
    QString path_;
};

// A temporary folder that is also the library's root (bwv_set_root) while the object
// lives: the system's fixed paths (client folders, /tmp paths, tool paths) are looked up
// under it. The previous root is restored afterwards.
class TempRoot : public QtTempDir {
public:
    TempRoot();
    ~TempRoot();

    // A fixed macOS path ("/Library/...", "/usr/bin/hdiutil") under this root.
    QString rooted(const QString &absolutePath) const;

    // Writes a property list with one dictionary of string entries as the rebrand file.
    QString writeRebrandFile(const QList<QPair<QString, QString>> &entries) const;

private:
    QByteArray previous_;
};

// Writes an executable shell script at `path` (folders created): "#!/bin/sh" and `body`.
// Answers `path`; throws std::runtime_error when it cannot.
QString writeFakeTool(const QString &path, const QByteArray &body);

}  // namespace bwv::test
