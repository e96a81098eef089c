#pragma once

// One tree and one set of exclude patterns for every walker that applies them (ZIP, 7z,
// the progress count): Japanese names, spaces and brackets, a file and a folder of one
// name, anchored patterns, `**`, a name that is not UTF-8, a source that a pattern would
// match, and an excluded folder that cannot be read (deeper than PATH_MAX): walking it
// would fail the archive.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace excludetree {

struct Tree
{
    QString root;
    QStringList sources;
    QStringList patterns;
    QSet<QString> kept;   // below root: every folder and file the archive must hold
    qint64 keptFiles = 0; // of kept
    qint64 excludedFiles = 0;
    qint64 excludedFolders = 0;
};

inline bool put(const QString &path, const QByteArray &bytes = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A folder chain deeper than PATH_MAX below folder, with a file at its end: no walker can
// open it by its path.
inline bool putTooDeep(const QString &folder)
{
    QDir().mkpath(folder);
    int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    const QByteArray name(250, 'd');
    for (int level = 0; fd >= 0 && level < 18; ++level) {
        if (::mkdirat(fd, name.constData(), 0755) != 0)
            return false;
        const int next = ::openat(fd, name.constData(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    if (fd < 0)
        return false;
    const int file = ::openat(fd, "lost.txt", O_WRONLY | O_CREAT, 0644);
    ::close(fd);
    return file >= 0 && ::close(file) == 0;
}

// Removes the tree when the test ends: QTemporaryDir cannot remove what lies deeper than
// PATH_MAX.
struct Removal
{
    QString root;
    ~Removal() { QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), root}); }
};

inline Tree make(const QString &root)
{
    Tree t;
    t.root = root;
    t.patterns = {QStringLiteral("node_modules/"),
                  QStringLiteral("*.tmp"),
                  QStringLiteral("build/"),
                  QStringLiteral("/logs"),
                  QStringLiteral("docs/**/*.pdf"),
                  QStringLiteral("*[0-9].bak"),
                  QStringLiteral("写真/旅行 2024/b*.jpg"),
                  QStringLiteral("  report \\[2\\].txt  ")};
    const QStringList keptFiles = {QStringLiteral("src/写真/旅行 2024/a.jpg"),
                                   QStringLiteral("src/app/main.c"),
                                   QStringLiteral("src/app/logs/today.log"),
                                   QStringLiteral("src/build"),
                                   QStringLiteral("src/sub/keep.txt"),
                                   QStringLiteral("src/docs/x/readme.md"),
                                   QStringLiteral("src/other/c.pdf"),
                                   QStringLiteral("src/xa.bak"),
                                   QStringLiteral("src/report [1].txt"),
                                   QStringLiteral("extra/node_modules/x.js"),
                                   QStringLiteral("single.tmp")};
    const QStringList excludedFiles = {QStringLiteral("src/写真/旅行 2024/b1.jpg"),
                                       QStringLiteral("src/写真/旅行 2024/a.tmp"),
                                       QStringLiteral("src/docs/a.pdf"),
                                       QStringLiteral("src/docs/x/y/b.pdf"),
                                       QStringLiteral("src/x1.bak"),
                                       QStringLiteral("src/report [2].txt")};
    const QStringList excludedFolders = {
        QStringLiteral("src/node_modules/pkg/index.js"),
        QStringLiteral("src/app/node_modules/m.js"), QStringLiteral("src/logs/old.log"),
        QStringLiteral("src/sub/build/out.o"),
        QStringLiteral("extra/node_modules/inner/node_modules/y.js")};
    for (const QStringList *list : {&keptFiles, &excludedFiles, &excludedFolders})
        for (const QString &file : *list)
            [&] { QVERIFY(put(root + QLatin1Char('/') + file)); }();
    // Latin-1 "café.tmp": left out by "*.tmp" like any other name.
    const QByteArray latin1 = QFile::encodeName(root) + "/src/caf\xE9.tmp";
    const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT, 0644);
    [&] { QVERIFY(fd >= 0 && ::close(fd) == 0); }();
    [&] { QVERIFY(putTooDeep(root + QStringLiteral("/src/node_modules/deep"))); }();
    t.excludedFiles = excludedFiles.size() + 1;
    t.excludedFolders = excludedFolders.size();

    t.sources = {root + QStringLiteral("/src"), root + QStringLiteral("/extra/node_modules"),
                 root + QStringLiteral("/single.tmp")};
    t.keptFiles = keptFiles.size();
    for (const QString &file : keptFiles) {
        // The file and every folder above it, up to the source's own folder.
        QString path = file;
        for (;;) {
            t.kept.insert(path);
            const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
            if (slash < 0)
                break;
            path = path.left(slash);
            if (path == QLatin1String("extra"))
                break;
        }
    }
    // Folders left with no file in them stay, as folders.
    for (const char *folder : {"src/docs/x/y", "extra/node_modules/inner"})
        t.kept.insert(QString::fromUtf8(folder));
    return t;
}

// Archive names below root ('/'-separated, a trailing '/' dropped), relative to root.
inline QSet<QString> below(const QStringList &names, const QString &root)
{
    QString prefix = root.mid(root.startsWith(QLatin1Char('/')) ? 1 : 0) + QLatin1Char('/');
    QSet<QString> out;
    for (QString name : names) {
        if (name.endsWith(QLatin1Char('/')))
            name.chop(1);
        if (name.startsWith(prefix))
            out.insert(name.mid(prefix.size()));
    }
    return out;
}

} // namespace excludetree
