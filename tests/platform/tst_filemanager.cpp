// File-manager operations, unique strings and the temporary directory.
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/qt/filemanager.hpp"
#include "support/temp_root.hpp"

using namespace bwv::platform;

class FileManagerTest : public QObject {
    Q_OBJECT

private slots:
    void existenceAndReadability() {
        bwv::test::QtTempDir dir;
        const QString f = dir.writeFile(QStringLiteral("f"), "x");
        QVERIFY(FileManager::fileExistsAtPath(f));
        QVERIFY(FileManager::fileExistsAtPath(dir.path()));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("none"))));
        QVERIFY(!FileManager::fileExistsAtPath(QString()));
        QVERIFY(::symlink("none", QFile::encodeName(dir.filePath(QStringLiteral("dangling"))).constData()) == 0);
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("dangling"))));
        QVERIFY(FileManager::isReadableFileAtPath(f));
        QVERIFY(!FileManager::isReadableFileAtPath(dir.filePath(QStringLiteral("none"))));
    }

    void directoriesAreCreatedWithIntermediatesOnlyWhenAsked() {
        bwv::test::QtTempDir dir;
        const QString deep = dir.filePath(QStringLiteral("a/b/c"));
        QString error;
        QVERIFY(!FileManager::createDirectoryAtPath(deep, false, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(FileManager::createDirectoryAtPath(deep, true));
        QVERIFY(QFileInfo(deep).isDir());
        QVERIFY(FileManager::createDirectoryAtPath(deep, true));    // already there: fine
        QVERIFY(!FileManager::createDirectoryAtPath(deep, false));  // but not without intermediates
        const QString file = dir.writeFile(QStringLiteral("file"), "x");
        QVERIFY(!FileManager::createDirectoryAtPath(file, true));
    }

    void aFolderListsItsNamesWithoutDotEntries() {
        bwv::test::QtTempDir dir;
        dir.writeFile(QStringLiteral("one"), "1");
        dir.writeFile(QStringLiteral(".hidden"), "h");
        dir.makeDir(QStringLiteral("sub"));
        auto names = FileManager::contentsOfDirectoryAtPath(dir.path());
        QVERIFY(names.has_value());
        names->sort();
        QCOMPARE(*names, (QStringList{QStringLiteral(".hidden"), QStringLiteral("one"), QStringLiteral("sub")}));
        QVERIFY(!FileManager::contentsOfDirectoryAtPath(dir.filePath(QStringLiteral("none"))).has_value());
    }

    void aFolderIsCopiedWholeWithLinksAndModes() {
        bwv::test::QtTempDir dir;
        dir.writeFile(QStringLiteral("src/Install.mpkg/Contents/a.txt"), "alpha");
        dir.writeFile(QStringLiteral("src/Install.mpkg/Contents/tool"), "#!/bin/sh\n", 0755);
        QVERIFY(::symlink("a.txt", QFile::encodeName(dir.filePath(QStringLiteral("src/Install.mpkg/Contents/link"))).constData()) == 0);
        const QString to = dir.filePath(QStringLiteral("dst/Install.mpkg"));
        dir.makeDir(QStringLiteral("dst"));
        QVERIFY(FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src/Install.mpkg")), to));
        QFile a(to + QStringLiteral("/Contents/a.txt"));
        QVERIFY(a.open(QIODevice::ReadOnly));
        QCOMPARE(a.readAll(), QByteArray("alpha"));
        QVERIFY(QFileInfo(to + QStringLiteral("/Contents/tool")).isExecutable());
        QCOMPARE(QFileInfo(to + QStringLiteral("/Contents/link")).symLinkTarget(),
                 QFileInfo(to + QStringLiteral("/Contents/a.txt")).absoluteFilePath());
    }

    void aCopyOntoAnExistingItemFailsAndLeavesItAlone() {
        bwv::test::QtTempDir dir;
        const QString from = dir.writeFile(QStringLiteral("from"), "new");
        const QString to = dir.writeFile(QStringLiteral("to"), "old");
        QString error;
        QVERIFY(!FileManager::copyItemAtPath(from, to, &error));
        QVERIFY(!error.isEmpty());
        QFile f(to);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("old"));
        dir.makeDir(QStringLiteral("dirA/x"));
        dir.makeDir(QStringLiteral("dirB"));
        QVERIFY(!FileManager::copyItemAtPath(dir.filePath(QStringLiteral("dirA")), dir.filePath(QStringLiteral("dirB"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("dirB/x"))));
    }

    void aCopyThatFailsHalfWayLeavesNothingBehind() {
        if (::geteuid() == 0) QSKIP("root reads unreadable files");
        bwv::test::QtTempDir dir;
        dir.writeFile(QStringLiteral("src/a"), "a");
        dir.writeFile(QStringLiteral("src/b"), "b", 0000);
        QVERIFY(!FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src")), dir.filePath(QStringLiteral("dst"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("dst"))));
    }

    void aFolderCannotBeCopiedIntoItself() {
        bwv::test::QtTempDir dir;
        dir.writeFile(QStringLiteral("src/a"), "a");
        QVERIFY(!FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src")), dir.filePath(QStringLiteral("src/inner"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("src/inner"))));
    }

    void removalTakesFoldersWholeButNotLinkTargets() {
        bwv::test::QtTempDir dir;
        const QString keep = dir.writeFile(QStringLiteral("keep/file"), "k");
        dir.writeFile(QStringLiteral("gone/sub/file"), "g");
        QVERIFY(::symlink(QFile::encodeName(dir.filePath(QStringLiteral("keep"))).constData(),
                          QFile::encodeName(dir.filePath(QStringLiteral("gone/link"))).constData()) == 0);
        QVERIFY(FileManager::removeItemAtPath(dir.filePath(QStringLiteral("gone"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("gone"))));
        QVERIFY(FileManager::fileExistsAtPath(keep));
        QVERIFY(!FileManager::removeItemAtPath(dir.filePath(QStringLiteral("gone"))));
    }

    void textIsReadAsUtf8AndInvalidBytesAreRefused() {
        bwv::test::QtTempDir dir;
        const QString good = dir.writeFile(QStringLiteral("good"), "version=5.2.1\nbüild\n");
        const QString bad = dir.writeFile(QStringLiteral("bad"), QByteArray("version=\xff\xfe", 10));
        QCOMPARE(FileManager::stringWithContentsOfFile(good).value_or(QString()),
                 QString::fromUtf8("version=5.2.1\nbüild\n"));
        QVERIFY(!FileManager::stringWithContentsOfFile(bad).has_value());
        QVERIFY(!FileManager::stringWithContentsOfFile(dir.filePath(QStringLiteral("none"))).has_value());
    }

    void uniqueStringsDifferAndFitInAFileName() {
        const QString a = ProcessInfo::globallyUniqueString();
        const QString b = ProcessInfo::globallyUniqueString();
        QVERIFY(a != b);
        QVERIFY(!a.contains(QLatin1Char('/')));
        QCOMPARE(a.size(), 36);
    }

    // Files there are checked and then used by path, so the folder must be one no other
    // account can create first or write into.
    void theTemporaryDirectoryIsTheUsersAlone_data() {
        QTest::addColumn<int>("tmpdirMode");     // 0: TMPDIR unset
        QTest::addColumn<bool>("tmpdirForeign");  // TMPDIR belongs to another account
        QTest::addColumn<bool>("fallbackForeign"); // another account made the fallback first
        QTest::addColumn<bool>("tmpdirUsed");
        QTest::newRow("private TMPDIR") << 0755 << false << false << true;
        QTest::newRow("TMPDIR others may write") << 01777 << false << false << false;
        QTest::newRow("TMPDIR of another account") << 0755 << true << false << false;
        QTest::newRow("no TMPDIR") << 0 << false << false << false;
        QTest::newRow("fallback made by another account") << 0 << false << true << false;
    }
    void theTemporaryDirectoryIsTheUsersAlone() {
        QFETCH(int, tmpdirMode);
        QFETCH(bool, tmpdirForeign);
        QFETCH(bool, fallbackForeign);
        QFETCH(bool, tmpdirUsed);
        if ((tmpdirForeign || fallbackForeign) && ::geteuid() != 0)
            QSKIP("needs root to give a folder to another account");
        bwv::test::QtTempDir dir;
        const QString tmp = dir.makeDir(QStringLiteral("tmp"));
        dir.makeDir(QStringLiteral("home"));
        const QString fallback = dir.filePath(QStringLiteral("home/.cache/brindlewave-tmp"));
        if (tmpdirMode) QVERIFY(::chmod(QFile::encodeName(tmp).constData(), mode_t(tmpdirMode)) == 0);
        if (tmpdirForeign) QVERIFY(::chown(QFile::encodeName(tmp).constData(), 54321, 54321) == 0);
        if (fallbackForeign) {
            dir.makeDir(QStringLiteral("home/.cache/brindlewave-tmp"));
            QVERIFY(::chown(QFile::encodeName(fallback).constData(), 54321, 54321) == 0);
        }
        const char *names[] = {"TMPDIR", "HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"};
        QByteArray saved[4];
        for (int i = 0; i < 4; ++i) saved[i] = qgetenv(names[i]);
        if (tmpdirMode) qputenv("TMPDIR", QFile::encodeName(tmp)); else qunsetenv("TMPDIR");
        qputenv("HOME", QFile::encodeName(dir.filePath(QStringLiteral("home"))));
        qunsetenv("XDG_CACHE_HOME");
        qunsetenv("XDG_RUNTIME_DIR");
        const QString t = temporaryDirectory();
        for (int i = 0; i < 4; ++i)
            if (saved[i].isNull()) qunsetenv(names[i]); else qputenv(names[i], saved[i]);

        if (tmpdirUsed) {
            QCOMPARE(t, tmp + QLatin1Char('/'));
        } else if (fallbackForeign) {
            QCOMPARE(t, QString());
        } else {
            QCOMPARE(t, fallback + QLatin1Char('/'));
            struct stat st;
            QVERIFY(::lstat(QFile::encodeName(fallback).constData(), &st) == 0);
            QCOMPARE(st.st_uid, ::geteuid());
            QCOMPARE(st.st_mode & 07777, mode_t(0700));
        }
        QVERIFY(ProcessInfo::arguments().size() >= 1);
    }
};

QTEST_MAIN(FileManagerTest)
#include "tst_filemanager.moc"
