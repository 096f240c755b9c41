#include "support/temp_root.hpp"

#include <QFile>

#include <bwvutil/paths.h>

namespace bwv::test {

static std::string relative(const QString &path) {
    QString r = path;
    while (r.startsWith(QLatin1Char('/'))) r.remove(0, 1);
    return r.toStdString();
}

QString QtTempDir::filePath(const QString &rel) const { return QString::fromStdString(dir_.file(relative(rel))); }

QString QtTempDir::makeDir(const QString &rel) const { return QString::fromStdString(dir_.mkdirs(relative(rel))); }

QString QtTempDir::writeFile(const QString &rel, const QByteArray &content, int mode) const {
    return QString::fromStdString(
        dir_.write(relative(rel), std::string_view(content.constData(), size_t(content.size())), mode_t(mode)));
}

TempRoot::TempRoot() : QtTempDir("bwvroot"), previous_(bwv_root()) {
    bwv_set_root(QFile::encodeName(path()).constData());
}

TempRoot::~TempRoot() { bwv_set_root(previous_.isEmpty() ? nullptr : previous_.constData()); }

QString TempRoot::writeRebrandFile(const QString &productName) const {
    return writeFile(QStringLiteral("Library/Application Support/Tarvenel/BrindleWave/conf/rebrand_text.plist"),
                     "<plist version=\"1.0\"><dict><key>ProductName</key><string>" +
                         productName.toHtmlEscaped().toUtf8() + "</string></dict></plist>\n");
}

}  // namespace bwv::test
