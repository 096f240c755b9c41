// Product-name substitution in user-visible texts. Which name the library gives is its own
// rule (test_custom.cpp); here only the replacement, under a rebrand file written before
// this process's first lookup.
#include <QtTest>

#include "app/product_name/string_bwv.hpp"
#include "support/temp_root.hpp"

using bwv::stringbyReplacingProduceName;

class ProductNameTest : public QObject {
    Q_OBJECT
    bwv::test::TempRoot root_;

private slots:
    void everyOccurrenceInTheSameCaseTakesTheName() {
        root_.writeRebrandFile(QStringLiteral("Acme Secure"));
        QCOMPARE(stringbyReplacingProduceName("Please shutdown BrindleWave, then install BrindleWave"),
                 QStringLiteral("Please shutdown Acme Secure, then install Acme Secure"));
        QCOMPARE(stringbyReplacingProduceName("BrindleWaveBrindleWave%@"), QStringLiteral("Acme SecureAcme Secure%@"));
        QCOMPARE(stringbyReplacingProduceName("Download Brindlewave dmg"), QStringLiteral("Download Brindlewave dmg"));
    }
};

QTEST_GUILESS_MAIN(ProductNameTest)
#include "tst_string_bwv.moc"
