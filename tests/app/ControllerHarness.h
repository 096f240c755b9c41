// What the controller tests share: the controller started as if from a chosen bundle and
// command line, and small file helpers.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include "app/AppController.h"
#include "support/recorders.hpp"
#include "support/temp_root.hpp"

namespace app_test {

inline const QString kSupportDir = QStringLiteral("/Library/Application Support/Tarvenel/BrindleWave");

// The controller as started from a chosen bundle and command line, with the endings of
// the application and the process recorded instead of carried out.
class TestController : public AppController {
public:
    QString bundlePath = QStringLiteral("/Applications/BrindleWaveFullInstaller.app");
    QStringList arguments = {QStringLiteral("/Applications/BrindleWaveFullInstaller.app/Contents/MacOS/x")};
    int terminations = 0;
    int exitStatus = -1;

protected:
    QString mainBundlePath() const override { return bundlePath; }
    QStringList processArguments() const override { return arguments; }
    void terminateApplication() override { ++terminations; }
    void exitProcess(int status) override { exitStatus = status; }
};

inline void writeFile(const QString &path, const QByteArray &content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
    f.close();
    if (executable)
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                         QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

inline QString readFile(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

}  // namespace app_test
