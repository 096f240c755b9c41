// The two installer bundles as the build assembles them, and their translation tables.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include "platform/qt/bundle.hpp"

namespace {

// Every English text the installer looks up: notices, alerts and captions. Log lines are
// not looked up, so the tables must not carry them.
const char *const kKeys[] = {
    "Downloading BrindleWave%@ %@",
    "BrindleWave%@ %s is available",
    "BrindleWave%@ is up to date",
    "BrindleWave%@ %@ is downloaded",
    "OK",
    "BrindleWave is running!",
    "Please shutdown BrindleWave, then install again",
    "BrindleWave Verification Failed!",
    "Failed to verify the signature of the downloaded installer. The package may be corrupted or has "
    "been modified by a third party.",
    "BrindleWave Installation Failed!",
    "Failed to open BrindleWave installer.",
    "Cancel",
    "Download",
    "Install",
};

QStringList placeholders(const QString &text) {
    static const QRegularExpression re(QStringLiteral("%(?:\\d+\\$)?[@s]"));
    QStringList found;
    for (auto it = re.globalMatch(text); it.hasNext();) found << it.next().captured();
    return found;
}

QString readElfDynamic(const QString &file) {
    QProcess p;
    p.start(QStringLiteral("readelf"), {QStringLiteral("-d"), file});
    if (!p.waitForFinished(30000)) return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

// A copy of a built bundle whose update library is the recording stand-in, put in under
// the library's plain name as anyone replacing it would.
class RecordedBundle {
public:
    explicit RecordedBundle(const QString &bundle) {
        if (!dir_.isValid()) return;
        path_ = dir_.path() + QLatin1Char('/') + QFileInfo(bundle).fileName();
        if (QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), bundle, path_}) != 0) return;
        const QString lib = path_ + QStringLiteral("/Contents/Resources/runtime.helper/libUpdate.so");
        if (!QFile::remove(lib) || !QFile::copy(QStringLiteral(BWV_UPD_RECORDER), lib)) return;
        QDir().mkpath(tmp());
        ready_ = true;
    }

    bool ready() const { return ready_; }
    QString tmp() const { return dir_.path() + QStringLiteral("/tmp"); }
    QStringList calls() const {
        QFile f(dir_.path() + QStringLiteral("/record"));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Starts the program with no display, no session bus and no runtime folder, as a
    // scheduled job would meet it.
    void start(QProcess &p, const QStringList &args) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR",
                                 "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("TMPDIR"), tmp());
        env.insert(QStringLiteral("UPD_RECORD"), dir_.path() + QStringLiteral("/record"));
        p.setProcessEnvironment(env);
        const QString name = QFileInfo(path_).completeBaseName();
        p.start(path_ + QStringLiteral("/Contents/MacOS/") + name, args);
    }

private:
    QTemporaryDir dir_;
    QString path_;
    bool ready_ = false;
};

}  // namespace

class AppBundleTest : public QObject {
    Q_OBJECT

private slots:
    void bothBundlesHaveTheMacLayout_data() {
        QTest::addColumn<QString>("bundle");
        QTest::newRow("full") << QStringLiteral(BWV_FULL_BUNDLE);
        QTest::newRow("vpn") << QStringLiteral(BWV_VPN_BUNDLE);
    }
    void bothBundlesHaveTheMacLayout() {
        QFETCH(QString, bundle);
        const QString name = QFileInfo(bundle).completeBaseName();
        const QString exe = bundle + QStringLiteral("/Contents/MacOS/") + name;
        QVERIFY2(QFileInfo(exe).isExecutable(), qPrintable(exe));
        QCOMPARE(QDir(bundle + QStringLiteral("/Contents/MacOS")).entryList(QDir::Files), QStringList{name});

        QFile info(bundle + QStringLiteral("/Contents/Info.plist"));
        QVERIFY(info.open(QIODevice::ReadOnly));
        const QString plist = QString::fromUtf8(info.readAll());
        QVERIFY(plist.contains(QStringLiteral("<key>CFBundleExecutable</key>\n\t<string>") + name +
                               QStringLiteral("</string>")));
        QVERIFY(plist.contains(QStringLiteral("<key>CFBundlePackageType</key>\n\t<string>APPL</string>")));

        const QString helper = bundle + QStringLiteral("/Contents/Resources/runtime.helper/");
        QVERIFY(QFileInfo(helper + QStringLiteral("libUpdate.so")).isFile());
        QVERIFY(QFileInfo(helper + QStringLiteral("providers.plist")).isFile());
        for (const char *lang : {"de", "fr"})
            QVERIFY(QFileInfo(bundle + QStringLiteral("/Contents/Resources/translations/Localizable_") +
                              QLatin1String(lang) + QStringLiteral(".qm"))
                        .isFile());
    }

    void bothBundlesCarryTheSameProgram() {
        QFile full(QStringLiteral(BWV_FULL_BUNDLE "/Contents/MacOS/BrindleWaveFullInstaller"));
        QFile vpn(QStringLiteral(BWV_VPN_BUNDLE "/Contents/MacOS/BrindleWaveInstaller"));
        QVERIFY(full.open(QIODevice::ReadOnly));
        QVERIFY(vpn.open(QIODevice::ReadOnly));
        QVERIFY(full.readAll() == vpn.readAll());
    }

    void theUpdateLibraryIsFoundInsideTheBundle() {
        const QString dyn = readElfDynamic(QStringLiteral(BWV_FULL_BUNDLE "/Contents/MacOS/BrindleWaveFullInstaller"));
        if (dyn.isEmpty()) QSKIP("readelf is not available");
        QVERIFY2(dyn.contains(QStringLiteral("[$ORIGIN/../Resources/runtime.helper]")), qPrintable(dyn));
        QVERIFY2(dyn.contains(QStringLiteral("[libUpdate.so")), qPrintable(dyn));
        QVERIFY(!dyn.contains(QStringLiteral("libbwvutil")));
        // The update library links libbwvutil for the test root and finds it beside itself.
        const QString helper = QStringLiteral(BWV_FULL_BUNDLE "/Contents/Resources/runtime.helper/");
        const QString lib = readElfDynamic(helper + QStringLiteral("libUpdate.so"));
        QVERIFY2(lib.contains(QStringLiteral("[libbwvutil.so.1]")), qPrintable(lib));
        QVERIFY2(lib.contains(QStringLiteral("$ORIGIN")), qPrintable(lib));
        QVERIFY(QFileInfo(helper + QStringLiteral("libbwvutil.so.1")).isFile());
    }

    void theProgramDrivesWhateverLibraryTheBundleCarries_data() {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<bool>("full");
        QTest::newRow("full") << QStringLiteral(BWV_FULL_BUNDLE) << true;
        QTest::newRow("vpn") << QStringLiteral(BWV_VPN_BUNDLE) << false;
    }
    void theProgramDrivesWhateverLibraryTheBundleCarries() {
        QFETCH(QString, bundle);
        QFETCH(bool, full);
        RecordedBundle copy(bundle);
        QVERIFY(copy.ready());
        QProcess p;
        copy.start(p, {});
        QVERIFY(p.waitForStarted());
        // The light installer downloads at once and polls every second.
        QTRY_VERIFY_WITH_TIMEOUT(copy.calls().count(QStringLiteral("request 4")) >= 2, 20000);
        // A termination request does not end the light installer.
        p.terminate();
        QVERIFY(!p.waitForFinished(700));
        p.kill();
        p.waitForFinished();
        QStringList expected{QStringLiteral("load_providers")};
        if (full) expected << QStringLiteral("set_full_version");
        expected << QStringLiteral("upd_init ") + copy.tmp() + QStringLiteral("/bwvupdate")
                 << QStringLiteral("request 8") << QStringLiteral("request 4") << QStringLiteral("request 4");
        QCOMPARE(copy.calls().mid(0, expected.size()), expected);
    }

    void aModeWithoutTheUpdateToolEndsAtOnceWithoutAWord() {
        if (::access("/Library/Application Support/Tarvenel/BrindleWave/bin/bwvupdate", X_OK) == 0)
            QSKIP("this machine has the client's update tool installed");
        for (const char *mode : {"AutoCheckMode", "upgradeMode"}) {
            RecordedBundle copy(QStringLiteral(BWV_FULL_BUNDLE));
            QVERIFY(copy.ready());
            QProcess p;
            copy.start(p, {QStringLiteral("-psn_0_42"), QLatin1String(mode)});
            QVERIFY(p.waitForFinished(30000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 0);
            QCOMPARE(QString::fromUtf8(p.readAllStandardError()), QString());
            QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()), QString());
            QCOMPARE(copy.calls(), (QStringList{QStringLiteral("load_providers"), QStringLiteral("set_full_version")}));
        }
    }

    void everyTextIsTranslatedKeepingNameAndPlaceholders_data() {
        QTest::addColumn<QString>("locale");
        QTest::newRow("German") << QStringLiteral("de_DE");
        QTest::newRow("French") << QStringLiteral("fr_FR");
    }
    void everyTextIsTranslatedKeepingNameAndPlaceholders() {
        QFETCH(QString, locale);
        bwv::platform::Bundle bundle(QStringLiteral(BWV_FULL_BUNDLE));
        bundle.setLocale(QLocale(locale));
        for (const char *k : kKeys) {
            const QString key = QString::fromUtf8(k);
            const QString text = bundle.localizedString(key);
            if (key != QLatin1String("OK")) QVERIFY2(text != key, qPrintable(locale + QStringLiteral(": ") + key));
            QCOMPARE(placeholders(text), placeholders(key));
            // The product-name substitution must still find the name in the translation.
            QCOMPARE(text.count(QStringLiteral("BrindleWave")), key.count(QStringLiteral("BrindleWave")));
        }
    }

    void anUntranslatedLocaleShowsTheEnglishKeys() {
        bwv::platform::Bundle bundle(QStringLiteral(BWV_VPN_BUNDLE));
        bundle.setLocale(QLocale(QStringLiteral("ja_JP")));
        for (const char *k : kKeys) QCOMPARE(bundle.localizedString(QString::fromUtf8(k)), QString::fromUtf8(k));
    }

    void theTablesHoldNoTextTheInstallerDoesNotUse() {
        QSet<QString> keys;
        for (const char *k : kKeys) keys.insert(QString::fromUtf8(k));
        static const QRegularExpression source(QStringLiteral("<source>(.*?)</source>"),
                                               QRegularExpression::DotMatchesEverythingOption);
        for (const char *lang : {"de", "fr"}) {
            QFile ts(QStringLiteral(BWV_APP_SOURCE_DIR "/translations/Localizable_") + QLatin1String(lang) +
                     QStringLiteral(".ts"));
            QVERIFY(ts.open(QIODevice::ReadOnly));
            const QString xml = QString::fromUtf8(ts.readAll());
            int count = 0;
            for (auto it = source.globalMatch(xml); it.hasNext(); ++count) {
                QString s = it.next().captured(1);
                s.replace(QStringLiteral("&amp;"), QStringLiteral("&")).replace(QStringLiteral("&lt;"), QStringLiteral("<"));
                QVERIFY2(keys.contains(s), qPrintable(s));
            }
            QCOMPARE(count, static_cast<int>(std::size(kKeys)));
        }
    }
};

QTEST_GUILESS_MAIN(AppBundleTest)
#include "test_app_bundle.moc"
