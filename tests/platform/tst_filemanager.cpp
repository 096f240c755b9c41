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
        bwv::test::TempDir dir;
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
        bwv::test::TempDir dir;
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
        bwv::test::TempDir dir;
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
        bwv::test::TempDir dir;
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
        bwv::test::TempDir dir;
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
        bwv::test::TempDir dir;
        dir.writeFile(QStringLiteral("src/a"), "a");
        dir.writeFile(QStringLiteral("src/b"), "b", 0000);
        QVERIFY(!FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src")), dir.filePath(QStringLiteral("dst"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("dst"))));
    }

    void aFolderCannotBeCopiedIntoItself() {
        bwv::test::TempDir dir;
        dir.writeFile(QStringLiteral("src/a"), "a");
        QVERIFY(!FileManager::copyItemAtPath(dir.filePath(QStringLiteral("src")), dir.filePath(QStringLiteral("src/inner"))));
        QVERIFY(!FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("src/inner"))));
    }

    void removalTakesFoldersWholeButNotLinkTargets() {
        bwv::test::TempDir dir;
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
        bwv::test::TempDir dir;
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

    void theTemporaryDirectoryFollowsTmpdirAndEndsInASlash() {
        const QByteArray old = qgetenv("TMPDIR");
        qputenv("TMPDIR", "/var/tmp");
        const QString t = temporaryDirectory();
        if (old.isNull()) qunsetenv("TMPDIR"); else qputenv("TMPDIR", old);
        QCOMPARE(t, QStringLiteral("/var/tmp/"));
        QVERIFY(ProcessInfo::arguments().size() >= 1);
    }
};

QTEST_MAIN(FileManagerTest)
#include "tst_filemanager.moc"
