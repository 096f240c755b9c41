// The texts: the product name from the installed client's rebrand file reaches the title,
// the notices and the alerts but no log line, and the bundles' translation tables carry
// exactly the texts the installer looks up. The name is read once per process, hence a
// program of its own, from a bundle whose German table translates log texts too.
#include <QLabel>
#include <QRegularExpression>

#include "app/framework/bundle.hpp"
#include "tests/app/ControllerFixture.h"

using namespace app_test;

namespace {

QStringList placeholders(const QString &text) {
    static const QRegularExpression re(QStringLiteral("%(?:\\d+\\$)?[@s]"));
    QStringList found;
    for (auto it = re.globalMatch(text); it.hasNext();) found << it.next().captured();
    return found;
}

}  // namespace

class AppRebrandTest : public QObject, ControllerFixture {
    Q_OBJECT

private slots:
    void init() {
        setUp();
        s_->dir.writeRebrandFile(QStringLiteral("Acme Secure"));
        bwv::platform::Bundle::mainBundle().setLocale(QLocale(QLocale::English));
    }
    void cleanup() { tearDown(); }

    void theTitleAndNoticesCarryTheDeploymentsName() {
        upd_double::scriptPolls({upd_double::running(), upd_double::downloaded("/x/a.dmg", "7.5.0")});
        s_->c.bundlePath = QStringLiteral("/Applications/BrindleWaveInstaller.app");
        s_->c.awakeFromNib();
        QCOMPARE(s_->window.windowTitle(), QStringLiteral("Acme Secure VPN"));
        QCOMPARE(s_->c.tfNotice->text(), QStringLiteral("Downloading Acme Secure "));
        QTRY_COMPARE_WITH_TIMEOUT(s_->c.tfNotice->text(), QStringLiteral("Acme Secure VPN 7.5.0 is downloaded"), 30000);
    }

    // Log lines are fixed English texts with the maker's name, even where the table would
    // translate them; the alerts beside them speak the user's language and the deployment's
    // name, and fall back to English where the table has no text.
    void logLinesStayEnglishUnderTheMakersName() {
        bwv::platform::Bundle::mainBundle().setLocale(QLocale(QStringLiteral("de_DE")));
        s_->c.installBrindleWave(nullptr);
        s_->c.verifyPackage(s_->root + QStringLiteral("/Install.mpkg"));  // no pkgutil in the root
        QCOMPARE(s_->log->lines, (QStringList{QStringLiteral("Download Brindlewave dmg file is not found!"),
                                              QStringLiteral("Failed to verify package")}));
        s_->c.shutdownBrindleWave();
        bwvShutdownCancel = true;
        QTRY_COMPARE_WITH_TIMEOUT(alertTitles().size(), 2, 30000);
        QCOMPARE(alertTitles(), (QStringList{QStringLiteral("Acme Secure-Überprüfung fehlgeschlagen!"),
                                             QStringLiteral("Acme Secure läuft!")}));
        QCOMPARE(s_->alerts->alerts.back().message, QStringLiteral("Please shutdown Acme Secure, then install again"));
        QCOMPARE(s_->alerts->alerts.back().defaultButton, QStringLiteral("Gut"));
    }

    // Translations keep the placeholders and the name the rebranding replaces. Log lines are
    // never looked up, so the tables hold exactly the texts the installer looks up.
    void theBundlesTranslateEveryTextTheyLookUp_data() {
        QTest::addColumn<QString>("bundle");
        QTest::addColumn<QString>("lang");
        QTest::newRow("full, German") << QStringLiteral(BWV_FULL_BUNDLE) << QStringLiteral("de");
        QTest::newRow("vpn, French") << QStringLiteral(BWV_VPN_BUNDLE) << QStringLiteral("fr");
    }
    void theBundlesTranslateEveryTextTheyLookUp() {
        QFETCH(QString, bundle);
        QFETCH(QString, lang);
        bwv::platform::Bundle b(bundle);
        b.setLocale(QLocale(lang));
        QFile list(QStringLiteral(BWV_APP_TEST_DATA "/looked_up_texts.txt"));
        QVERIFY(list.open(QIODevice::ReadOnly));
        // The heading line left out.
        QStringList keys = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1);
        for (const QString &key : keys) {
            const QString text = b.localizedString(key);
            if (key != QLatin1String("OK")) QVERIFY2(text != key, qPrintable(key));
            QCOMPARE(placeholders(text), placeholders(key));
            QCOMPARE(text.count(QStringLiteral("BrindleWave")), key.count(QStringLiteral("BrindleWave")));
        }
        QFile ts(QStringLiteral(BWV_APP_SOURCE_DIR "/translations/Localizable_") + lang + QStringLiteral(".ts"));
        QVERIFY(ts.open(QIODevice::ReadOnly));
        static const QRegularExpression source(QStringLiteral("<source>(.*?)</source>"),
                                               QRegularExpression::DotMatchesEverythingOption);
        QStringList sources;
        for (auto it = source.globalMatch(QString::fromUtf8(ts.readAll())); it.hasNext();)
            sources << it.next().captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&"));
        sources.sort();
        keys.sort();
        QCOMPARE(sources, keys);
    }
};

QTEST_MAIN(AppRebrandTest)
#include "test_app_rebrand.moc"
