// The bundle found from the executable, and its localisation table from .qm files.
#include <QtTest>

#include "platform/qt/bundle.hpp"
#include "support/temp_root.hpp"

using namespace bwv::platform;

class BundleTest : public QObject {
    Q_OBJECT

    // A bundle folder with the German table in its translations folder.
    QString makeBundle(const bwv::test::QtTempDir &dir) {
        dir.makeDir(QStringLiteral("Some Installer.app/Contents/MacOS"));
        const QString translations = dir.makeDir(QStringLiteral("Some Installer.app/Contents/Resources/translations"));
        QFile::copy(QStringLiteral(BWV_TEST_QM_DIR "/Localizable_de.qm"), translations + QStringLiteral("/Localizable_de.qm"));
        return dir.filePath(QStringLiteral("Some Installer.app"));
    }

private slots:
    void theBundleIsFoundFromTheExecutableInsideIt() {
        const Bundle b = Bundle::forExecutablePath(QStringLiteral("/opt/x/BrindleWaveFullInstaller.app/Contents/MacOS/installer"));
        QCOMPARE(b.bundlePath(), QStringLiteral("/opt/x/BrindleWaveFullInstaller.app"));
        QCOMPARE(b.resourcePath(), QStringLiteral("/opt/x/BrindleWaveFullInstaller.app/Contents/Resources"));
        QCOMPARE(b.translationsPath(), QStringLiteral("/opt/x/BrindleWaveFullInstaller.app/Contents/Resources/translations"));
        // Outside the bundle layout the executable's folder is the bundle.
        QCOMPARE(Bundle::forExecutablePath(QStringLiteral("/usr/local/bin/tool")).bundlePath(),
                 QStringLiteral("/usr/local/bin"));
        QCOMPARE(Bundle::forExecutablePath(QStringLiteral("/a/MacOS/tool")).bundlePath(), QStringLiteral("/a/MacOS"));
        QCOMPARE(Bundle::mainBundle().bundlePath(), QCoreApplication::applicationDirPath());
    }

    void aTranslatedKeyIsUsedUnderItsLocale() {
        bwv::test::QtTempDir dir;
        Bundle b(makeBundle(dir));
        b.setLocale(QLocale(QStringLiteral("de_DE")));
        QCOMPARE(b.localizedString(QStringLiteral("BrindleWave is running!"), QString()),
                 QStringLiteral("BrindleWave läuft!"));
        QCOMPARE(b.localizedString(QStringLiteral("OK")), QStringLiteral("Gut"));
    }

    void aMissingKeyComesBackUnchanged() {
        bwv::test::QtTempDir dir;
        Bundle b(makeBundle(dir));
        b.setLocale(QLocale(QStringLiteral("de_DE")));
        QCOMPARE(b.localizedString(QStringLiteral("BrindleWave%@ is up to date"), QString()),
                 QStringLiteral("BrindleWave%@ is up to date"));
        QCOMPARE(b.localizedString(QStringLiteral("Missing"), QStringLiteral("fallback")),
                 QStringLiteral("fallback"));
        QCOMPARE(b.localizedString(QStringLiteral("OK"), QString(), QStringLiteral("OtherTable")),
                 QStringLiteral("OK"));
    }

    void anotherLocaleOrNoTableGivesTheEnglishKeys() {
        bwv::test::QtTempDir dir;
        Bundle b(makeBundle(dir));
        b.setLocale(QLocale(QStringLiteral("fr_FR")));
        QCOMPARE(b.localizedString(QStringLiteral("OK")), QStringLiteral("OK"));
        Bundle empty(dir.filePath(QStringLiteral("nothing.app")));
        QCOMPARE(empty.localizedString(QStringLiteral("OK")), QStringLiteral("OK"));
    }

    void theUsersLocaleChoosesTheTable() {
        bwv::test::QtTempDir dir;
        const QLocale previous;
        QLocale::setDefault(QLocale(QStringLiteral("de_AT")));
        Bundle b(makeBundle(dir));
        const QString text = b.localizedString(QStringLiteral("OK"));
        QLocale::setDefault(previous);
        QCOMPARE(text, QStringLiteral("Gut"));
    }
};

QTEST_MAIN(BundleTest)
#include "tst_bundle.moc"
