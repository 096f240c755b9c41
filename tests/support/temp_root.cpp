#include "support/temp_root.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <bwvutil/paths.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/qt/filemanager.hpp"

namespace bwv::test {

QtTempDir::QtTempDir(const char *prefix) {
    QByteArray tmpl = QFile::encodeName(QDir::tempPath()) + '/' + prefix + ".XXXXXX";
    if (char *made = ::mkdtemp(tmpl.data())) path_ = QFile::decodeName(made);
}

QtTempDir::~QtTempDir() {
    if (!path_.isEmpty()) platform::FileManager::removeItemAtPath(path_);
}

QString QtTempDir::filePath(const QString &relative) const {
    QString r = relative;
    while (r.startsWith(QLatin1Char('/'))) r.remove(0, 1);
    return path_ + QLatin1Char('/') + r;
}

QString QtTempDir::makeDir(const QString &relative) const {
    const QString p = filePath(relative);
    if (!QDir().mkpath(p)) throw std::runtime_error("cannot create " + p.toStdString());
    return p;
}

QString QtTempDir::writeFile(const QString &relative, const QByteArray &content, int mode) const {
    const QString p = filePath(relative);
    QDir().mkpath(QFileInfo(p).absolutePath());
    QFile f(p);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        throw std::runtime_error("cannot write " + p.toStdString());
    f.close();
    QFile::Permissions perms;
    if (mode & 0400) perms |= QFile::ReadOwner;
    if (mode & 0200) perms |= QFile::WriteOwner;
    if (mode & 0100) perms |= QFile::ExeOwner;
    if (mode & 0040) perms |= QFile::ReadGroup;
    if (mode & 0020) perms |= QFile::WriteGroup;
    if (mode & 0010) perms |= QFile::ExeGroup;
    if (mode & 0004) perms |= QFile::ReadOther;
    if (mode & 0002) perms |= QFile::WriteOther;
    if (mode & 0001) perms |= QFile::ExeOther;
    QFile::setPermissions(p, perms);
    return p;
}

TempRoot::TempRoot() : QtTempDir("bwvroot"), previous_(bwv_root()) {
    bwv_set_root(QFile::encodeName(path()).constData());
}

TempRoot::~TempRoot() { bwv_set_root(previous_.isEmpty() ? nullptr : previous_.constData()); }

QString TempRoot::rooted(const QString &absolutePath) const { return filePath(absolutePath); }

QString TempRoot::writeRebrandFile(const QList<QPair<QString, QString>> &entries) const {
    QByteArray xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    for (const auto &[key, value] : entries) {
        xml += "\t<key>" + key.toHtmlEscaped().toUtf8() + "</key>\n";
        xml += "\t<string>" + value.toHtmlEscaped().toUtf8() + "</string>\n";
    }
    xml += "</dict>\n</plist>\n";
    return writeFile(QStringLiteral("Library/Application Support/Tarvenel/BrindleWave/conf/rebrand_text.plist"),
                     xml);
}

QString writeFakeTool(const QString &path, const QByteArray &body) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    const QByteArray script = "#!/bin/sh\n" + body + (body.endsWith('\n') ? "" : "\n");
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(script) != script.size())
        throw std::runtime_error("cannot write " + path.toStdString());
    f.close();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther);
    return path;
}

}  // namespace bwv::test
