// What the controller test programs hold around each case: a private root with an installed
// client that may be replaced while it runs, TMPDIR inside it, the controller wired to a
// fresh window as if started from a chosen bundle and command line, and every alert and log
// line recorded. The update library is replaced by a scripted double defined here, so each
// test program includes this header from its one source file only.
#pragma once

#include <QDir>
#include <QFile>
#include <QWidget>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/AppController.h"
#include "support/recorders.hpp"
#include "support/temp_root.hpp"
#include "ui_MainWindow.h"

// Records every call in order ("load_providers", "set_full_version", "upd_init <path>",
// "request <code>") and answers polls from a script whose last record then repeats.
namespace upd_double {

inline std::vector<std::string> g_calls;
inline std::deque<upd_result> g_script;
inline upd_result g_record{};

// A record in the given state; an error text makes it a failure.
inline upd_result record(int state, int progress, const char *version = "", const char *path = "",
                         const char *error = nullptr, bool hasNewVersion = false) {
    upd_result r{};
    r.state = static_cast<uint16_t>(state);
    r.progress = progress;
    r.error_code = error ? 7 : 0;
    r.has_new_version = hasNewVersion ? 1 : 0;
    std::strncpy(r.version, version, sizeof r.version - 1);
    std::strncpy(r.file_path, path, sizeof r.file_path - 1);
    std::strncpy(r.error_text, error ? error : "", sizeof r.error_text - 1);
    return r;
}
inline upd_result running(int progress = 0) { return record(1, progress); }
inline upd_result checked(bool hasNew, const char *version) {
    return record(bwv::upd::kFinished, 0, version, "", nullptr, hasNew);
}
inline upd_result failed(const char *error, bool hasNew = false) {
    return record(bwv::upd::kFinished, 0, "", "", error, hasNew);
}
inline upd_result downloaded(const char *path, const char *version) {
    return record(bwv::upd::kFinished, 500, version, path);
}

inline void scriptPolls(std::vector<upd_result> answers) { g_script.assign(answers.begin(), answers.end()); }
inline std::vector<int> requests() {
    std::vector<int> out;
    for (const auto &c : g_calls)
        if (c.rfind("request ", 0) == 0) out.push_back(std::stoi(c.substr(8)));
    return out;
}
inline int pollCount() { return static_cast<int>(std::count(g_calls.begin(), g_calls.end(), "request 4")); }

}  // namespace upd_double

extern "C" {
int load_providers(void) { return upd_double::g_calls.emplace_back("load_providers"), 0; }
int set_full_version(void) { return upd_double::g_calls.emplace_back("set_full_version"), 0; }
int upd_init(const char *path) { return upd_double::g_calls.emplace_back(std::string("upd_init ") + path), 0; }
upd_result *upd_check_bwn_update(int request) {
    using namespace upd_double;
    g_calls.emplace_back("request " + std::to_string(request));
    if (request == bwv::upd::kPoll && !g_script.empty()) {
        g_record = g_script.front();
        if (g_script.size() > 1) g_script.pop_front();
    }
    return &g_record;
}
}

namespace app_test {

inline const QString kSupportDir = QStringLiteral("/Library/Application Support/Tarvenel/BrindleWave");

// The endings of the application and the process are recorded instead of carried out.
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

class ControllerFixture {
protected:
    // Built in this order and torn down in reverse, so the controller goes first; the update
    // timer goes before it, so it cannot fire into a controller being torn down.
    struct Case {
        bwv::test::TempRoot dir;
        QString root = dir.path();
        QByteArray tmpdir = qgetenv("TMPDIR");
        bwv::test::ScopedAlertRecorder alerts;
        bwv::test::ScopedLogRecorder log;
        QWidget window;
        Ui::MainWindow form;
        TestController c;
        Case() {
            dir.makeDir(QStringLiteral("tmp"));
            qputenv("TMPDIR", QFile::encodeName(dir.makeDir(QStringLiteral("usertmp")) + QLatin1Char('/')));
            dir.writeFile(kSupportDir.mid(1) + QStringLiteral("/conf/bwvinfo"), "version=5.2.1\n");
            autoCheckMode = upgradeMode = bwvShutdownCancel = false;
            upret = nullptr;
            timecounter = 0;
            upd_double::g_calls.clear();
            upd_double::g_script.clear();
            upd_double::g_record = upd_double::running();
            form.setupUi(&window);
            c.connectOutlets(form, window);
        }
        ~Case() {
            if (c.updateTimer) c.updateTimer->invalidate();
            std::signal(SIGTERM, SIG_DFL);
            tmpdir.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", tmpdir);
        }
    };
    std::unique_ptr<Case> s_;

    QString write(const QString &rooted, const QByteArray &content, int mode = 0644) const {
        return s_->dir.writeFile(rooted.mid(1), content, mode);
    }
    QString read(const QString &rooted) const {
        QFile f(s_->root + rooted);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QString downloadDir() const { return s_->root + QStringLiteral("/usertmp/bwvupdate"); }
    QStringList alertTitles() const {
        QStringList t;
        for (const auto &a : s_->alerts->alerts) t << a.title;
        return t;
    }
    // The current test's rows, kept beside the tests (data/<test>.txt): per line the row's
    // name, then its cells as texts, all separated by ';' ("\n" stands for a line break); '#'
    // starts a comment line.
    static void addRows(std::initializer_list<const char *> columns) {
        for (const char *c : columns) QTest::addColumn<QString>(c);
        QFile f(QStringLiteral(BWV_APP_TEST_DATA "/%1.txt").arg(QLatin1String(QTest::currentTestFunction())));
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(f.fileName()));
        for (const QString &line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (line.startsWith(QLatin1Char('#'))) continue;
            QStringList cells = line.split(QLatin1Char(';'));
            QCOMPARE(cells.size(), qsizetype(columns.size() + 1));
            QTestData &row = QTest::newRow(qPrintable(cells.takeFirst().trimmed()));
            for (QString &cell : cells) row << cell.trimmed().replace(QStringLiteral("\\n"), QStringLiteral("\n"));
        }
    }
    // A cell of the current row as a number, written as in C (0755 is octal).
    static int number(const char *column) {
        return static_cast<QString *>(QTest::qData(column, QMetaType::QString))->toInt(nullptr, 0);
    }
    void setUp() { s_ = std::make_unique<Case>(); }
    void tearDown() { s_.reset(); }
};

}  // namespace app_test
