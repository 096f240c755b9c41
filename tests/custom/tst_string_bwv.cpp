// Product-name substitution in user-visible texts, against fake rebrand files.
//
// The product name is read once per process, so each case runs in its own child process
// of this program (selected by an argument) with its own fake root.
#include <QtTest>

#include <bwvutil/custom.h>

#include "custom/qt/string_bwv.hpp"
#include "support/temp_root.hpp"

using bwv::stringbyReplacingProduceName;

class ProductNameTest : public QObject {
    Q_OBJECT

    // Runs this program again with `mode`; answers its exit status.
    static int child(const QString &mode) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--case"), mode});
        if (!p.waitForFinished(60000)) return -1;
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    }

private slots:
    void withoutARebrandFileTextsComeBackUnchanged() { QCOMPARE(child(QStringLiteral("none")), 0); }
    void anEmptyProductNameKeepsTheDefault() { QCOMPARE(child(QStringLiteral("empty")), 0); }
    void everyOccurrenceTakesTheOtherName() { QCOMPARE(child(QStringLiteral("renamed")), 0); }
};

namespace {

int fail(const char *what, const QString &got) {
    std::fprintf(stderr, "FAIL: %s (got \"%s\")\n", what, got.toUtf8().constData());
    return 1;
}

int runCase(const QString &mode) {
    bwv::test::TempRoot root;
    if (mode == QStringLiteral("empty"))
        root.writeRebrandFile({{QStringLiteral("ProductName"), QString()}});
    else if (mode == QStringLiteral("renamed"))
        root.writeRebrandFile({{QStringLiteral("ProductName"), QStringLiteral("Acme Secure")}});

    const QString text = QStringLiteral("BrindleWave Installation Failed!");
    QString got = stringbyReplacingProduceName(text);
    if (mode != QStringLiteral("renamed")) {
        if (got != text) return fail("text changed without another name", got);
        if (QString::fromUtf8(get_bwvpname()) != QStringLiteral("BrindleWave")) return fail("default name", got);
        // A rebrand file that appears later is only seen by the next start.
        root.writeRebrandFile({{QStringLiteral("ProductName"), QStringLiteral("Late")}});
        got = stringbyReplacingProduceName(text);
        if (got != text) return fail("file created after the first lookup", got);
        return 0;
    }
    if (got != QStringLiteral("Acme Secure Installation Failed!")) return fail("one occurrence", got);
    got = stringbyReplacingProduceName(QStringLiteral("Please shutdown BrindleWave, then install BrindleWave again"));
    if (got != QStringLiteral("Please shutdown Acme Secure, then install Acme Secure again"))
        return fail("two occurrences", got);
    got = stringbyReplacingProduceName(QStringLiteral("Download Brindlewave dmg file is not found!"));
    if (got != QStringLiteral("Download Brindlewave dmg file is not found!")) return fail("other letter case", got);
    got = stringbyReplacingProduceName(QStringLiteral("BrindleWaveBrindleWave%@"));
    if (got != QStringLiteral("Acme SecureAcme Secure%@")) return fail("adjacent occurrences", got);
    // Read once per process: removing the file changes nothing now.
    QFile::remove(root.rooted(QStringLiteral("/Library/Application Support/Tarvenel/BrindleWave/conf/rebrand_text.plist")));
    got = stringbyReplacingProduceName(text);
    if (got != QStringLiteral("Acme Secure Installation Failed!")) return fail("cached name", got);
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc == 3 && QByteArray(argv[1]) == "--case") {
        QCoreApplication app(argc, argv);
        return runCase(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    ProductNameTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_string_bwv.moc"
