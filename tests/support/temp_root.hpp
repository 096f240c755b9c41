// bwv::test::TempDir with QString paths, and a fake root, for the Qt tests.
#pragma once

#include <QByteArray>
#include <QString>

#include "support/bwvtest.hpp"

namespace bwv::test {

class QtTempDir {
public:
    explicit QtTempDir(const char *prefix = "bwvtest") : dir_(prefix) {}

    QString path() const { return QString::fromStdString(dir_.path()); }
    // `relative` joined to the folder, leading slashes dropped ("/a/b" -> <path>/a/b).
    QString filePath(const QString &relative) const;
    // Folders on the way are created; `mode` as for chmod; throws std::runtime_error.
    QString writeFile(const QString &relative, const QByteArray &content, int mode = 0644) const;
    QString makeDir(const QString &relative) const;

private:
    TempDir dir_;
};

// A temporary folder that is also the library's root (bwv_set_root) while the object
// lives; the previous root is restored afterwards.
class TempRoot : public QtTempDir {
public:
    TempRoot();
    ~TempRoot();

    // The rebrand file, naming the product `productName`.
    QString writeRebrandFile(const QString &productName) const;

private:
    QByteArray previous_;
};

}  // namespace bwv::test
