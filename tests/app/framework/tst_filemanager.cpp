// File-manager operations, the temporary directory, the bundle with its localisation table,
// and the format texts.
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "app/framework/bundle.hpp"
#include "app/framework/filemanager.hpp"
#include "app/framework/strings.hpp"
#include "support/temp_root.hpp"

using namespace bwv::platform;

class FileManagerTest : public QObject {
    Q_OBJECT

private slots:
    void aFolderIsCopiedWholeOrNotAtAll() {
        bwv::test::QtTempDir dir;
        dir.writeFile(QStringLiteral("src/Contents/a.txt"), "alpha");
        dir.writeFile(QStringLiteral("src/Contents/tool"), "#!/bin/sh\n", 0755);
        QVERIFY(QFile::link(QStringLiteral("a.txt"), dir.filePath(QStringLiteral("src/Contents/link"))));
        QVERIFY(FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src")), dir.filePath(QStringLiteral("dst"))));
        QCOMPARE(FileManager::stringWithContentsOfFile(dir.filePath(QStringLiteral("dst/Contents/link")))
                     .value_or(QString()),
                 QStringLiteral("alpha"));
        QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("dst/Contents/link"))).symLinkTarget(),
                 dir.filePath(QStringLiteral("dst/Contents/a.txt")));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("dst/Contents/tool"))).isExecutable());
        QVERIFY(!FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src")),
                                             dir.filePath(QStringLiteral("src/Contents/inner"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("src/Contents/inner"))));
        if (::geteuid() == 0) QSKIP("root reads unreadable files");
        dir.writeFile(QStringLiteral("src/Contents/z"), "z", 0000);
        QVERIFY(
            !FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src")), dir.filePath(QStringLiteral("half"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("half"))));
    }

    void danglingLinksAndBrokenTextCountAsMissing() {
        bwv::test::QtTempDir dir;
        QVERIFY(QFile::link(QStringLiteral("none"), dir.filePath(QStringLiteral("dangling"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("dangling"))));
        QVERIFY(!FileManager::stringWithContentsOfFile(dir.writeFile(QStringLiteral("bad"), "version=\xff\xfe")));
    }

    // A new folder is made with or without its parents; one that is there already counts as
    // made only when parents were asked for, and a file in its place never does.
    void foldersAreMadeWithTheirParentsOrRefused() {
        bwv::test::QtTempDir dir;
        const QString nested = dir.filePath(QStringLiteral("a/b/c")), file = dir.writeFile(QStringLiteral("f"), "x");
        QVERIFY(!FileManager::createDirectoryAtPath(nested, false) && !QFileInfo::exists(nested));
        QVERIFY(FileManager::createDirectoryAtPath(nested, true) && QFileInfo(nested).isDir());
        QVERIFY(FileManager::createDirectoryAtPath(nested, true) && !FileManager::createDirectoryAtPath(nested, false));
        QVERIFY(FileManager::createDirectoryAtPath(dir.filePath(QStringLiteral("d")), false));
        QVERIFY(!FileManager::createDirectoryAtPath(file, true) && !FileManager::createDirectoryAtPath(file, false));
    }

    // Files there are checked and then used by path, so the folder must be one no other
    // account can create first or write into.
    void theTemporaryDirectoryIsTheUsersAlone_data() {
        QTest::addColumn<int>("tmpdirMode");  // 0: TMPDIR unset
        QTest::addColumn<int>("foreign");     // 1: TMPDIR, 2: the fallback made first by another account
        QTest::addColumn<QString>("expected");
        QTest::newRow("private TMPDIR") << 0755 << 0 << "tmp/";
        QTest::newRow("TMPDIR others may write") << 01777 << 0 << "home/.cache/brindlewave-tmp/";
        QTest::newRow("TMPDIR of another account") << 0755 << 1 << "home/.cache/brindlewave-tmp/";
        QTest::newRow("no TMPDIR") << 0 << 0 << "home/.cache/brindlewave-tmp/";
        QTest::newRow("fallback made by another account") << 0 << 2 << "";
    }
    void theTemporaryDirectoryIsTheUsersAlone() {
        QFETCH(int, tmpdirMode);
        QFETCH(int, foreign);
        QFETCH(QString, expected);
        if (foreign && ::geteuid() != 0) QSKIP("needs root to give a folder to another account");
        bwv::test::QtTempDir dir;
        const QString tmp = dir.makeDir(QStringLiteral("tmp")),
                      fallback = dir.filePath(QStringLiteral("home/.cache/brindlewave-tmp"));
        dir.makeDir(foreign == 2 ? QStringLiteral("home/.cache/brindlewave-tmp") : QStringLiteral("home"));
        if (tmpdirMode) QVERIFY(::chmod(QFile::encodeName(tmp).constData(), mode_t(tmpdirMode)) == 0);
        if (foreign) QVERIFY(::chown(QFile::encodeName(foreign == 1 ? tmp : fallback).constData(), 54321, 54321) == 0);
        const char *names[] = {"TMPDIR", "HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};
        QByteArray saved[4];
        for (int i = 0; i < 4; ++i) saved[i] = qgetenv(names[i]), qunsetenv(names[i]);
        if (tmpdirMode) qputenv("TMPDIR", QFile::encodeName(tmp));
        qputenv("HOME", QFile::encodeName(dir.filePath(QStringLiteral("home"))));
        const QString t = temporaryDirectory();
        for (int i = 0; i < 4; ++i) saved[i].isNull() ? qunsetenv(names[i]) : qputenv(names[i], saved[i]);
        QCOMPARE(t, expected.isEmpty() ? QString() : dir.filePath(expected));
        struct stat st {};
        if (expected.startsWith(QLatin1String("home")))
            QVERIFY(::lstat(QFile::encodeName(fallback).constData(), &st) == 0);
        if (expected.startsWith(QLatin1String("home")))
            QVERIFY(st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700);
    }

    void theUsersLocaleChoosesTheTableAndOthersGetTheEnglishKeys() {
        const QLocale previous;
        QLocale::setDefault(QLocale(QStringLiteral("de_AT")));
        Bundle b(QStringLiteral(BWV_FULL_BUNDLE));
        const QString cancel = b.localizedString(QStringLiteral("Cancel"));
        QLocale::setDefault(previous);
        QCOMPARE(cancel, QStringLiteral("Abbrechen"));
        b.setLocale(QLocale(QStringLiteral("ja_JP")));
        QCOMPARE(b.localizedString(QStringLiteral("Cancel")), QStringLiteral("Cancel"));
    }

    void textsAreFormattedLikeTheirEnglishOriginals_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected");
        QTest::newRow("positions") << "%2$@ then %1$@" << QStringList{"a", "b"} << "b then a";
        QTest::newRow("percent") << "100%% sure %@" << QStringList{"x"} << "100% sure x";
        QTest::newRow("missing argument") << "%@ and %@" << QStringList{"one"} << "one and ";
        QTest::newRow("stray percent") << "50% off%" << QStringList{} << "50% off%";
    }
    void textsAreFormattedLikeTheirEnglishOriginals() {
        QFETCH(QString, format);
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        QCOMPARE(formatText(format, args), expected);
    }
};

QTEST_MAIN(FileManagerTest)
#include "tst_filemanager.moc"
