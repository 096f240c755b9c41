// Product-name substitution in user-visible texts. Which name the library gives is its own
// rule (tests/custom/test_custom.cpp); here only the replacement, under a rebrand file
// written before this process's first lookup.
#include <QtTest>

#include "custom/qt/string_bwv.hpp"
#include "support/temp_root.hpp"

class ProductNameTest : public QObject {
    Q_OBJECT
    bwv::test::TempRoot root_;

private slots:
    void initTestCase() { root_.writeRebrandFile({{QStringLiteral("ProductName"), QStringLiteral("Acme Secure")}}); }

    void everyOccurrenceInTheSameCaseTakesTheName_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one") << "BrindleWave Installation Failed!" << "Acme Secure Installation Failed!";
        QTest::newRow("two") << "Please shutdown BrindleWave, then install BrindleWave again"
                             << "Please shutdown Acme Secure, then install Acme Secure again";
        QTest::newRow("adjacent") << "BrindleWaveBrindleWave%@" << "Acme SecureAcme Secure%@";
        QTest::newRow("other case") << "Download Brindlewave dmg file" << "Download Brindlewave dmg file";
    }
    void everyOccurrenceInTheSameCaseTakesTheName()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(bwv::stringbyReplacingProduceName(text), expected);
    }
};

QTEST_GUILESS_MAIN(ProductNameTest)
#include "tst_string_bwv.moc"
