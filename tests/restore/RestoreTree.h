#pragma once

// The tree every restore round trip backs up, and a byte-level snapshot of a tree to
// compare a restore with. Names are handled as bytes (POSIX calls): Qt's file names lose
// bytes that are not UTF-8.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QtTest>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace restoretest {

struct Node
{
    char type = 'f'; // f file, d folder, l link
    unsigned mode = 0;
    qint64 mtimeNs = 0;
    QByteArray data; // content, or the link's target
};

using Snapshot = QMap<QByteArray, Node>; // path below the root -> node

inline const QByteArray kLatin1Name = QByteArray("caf\xe9 latin1.txt");

inline void put(const QByteArray &path, const QByteArray &data, unsigned mode, qint64 mtimeSec)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY2(fd >= 0, path.constData());
    QCOMPARE(::write(fd, data.constData(), size_t(data.size())), ssize_t(data.size()));
    QCOMPARE(::fchmod(fd, mode), 0);
    const timespec t[2] = {{mtimeSec, 0}, {mtimeSec, 123456700}};
    QCOMPARE(::futimens(fd, t), 0);
    ::close(fd);
}

// The tree: Japanese names, a Latin-1 name, spaces, an empty folder, a symbolic link,
// modes 0600/0755/0700, a 0-byte file. seed changes the contents (another generation).
inline void makeTree(const QByteArray &root, int seed)
{
    QCOMPARE(::mkdir(root.constData(), 0755), 0);
    const QByteArray r = root + '/';
    QCOMPARE(::mkdir((r + "日本語のフォルダ").constData(), 0755), 0);
    QCOMPARE(::mkdir((r + "空のフォルダ").constData(), 0755), 0);
    QCOMPARE(::mkdir((r + "private dir").constData(), 0700), 0);
    put(r + "日本語のフォルダ/報告書 2024.txt", "報告 " + QByteArray::number(seed), 0644,
        1700000000);
    put(r + kLatin1Name, "latin " + QByteArray::number(seed), 0644, 1700000100);
    put(r + "private dir/secret key", QByteArray(70000, char('a' + seed)), 0600, 1700000200);
    put(r + "run me.sh", "#!/bin/sh\necho " + QByteArray::number(seed) + '\n', 0755, 1700000300);
    put(r + "empty", QByteArray(), 0644, 1700000400);
    QCOMPARE(::symlink("日本語のフォルダ/報告書 2024.txt", (r + "link to report").constData()), 0);
    // Folder times last: writing into a folder changes its time.
    for (const char *folder : {"日本語のフォルダ", "空のフォルダ", "private dir", ""}) {
        const timespec t[2] = {{1690000000, 0}, {1690000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, (r + folder).constData(), t, AT_SYMLINK_NOFOLLOW), 0);
    }
}

inline void walk(const QByteArray &root, const QByteArray &below, Snapshot &out)
{
    DIR *dir = ::opendir((root + '/' + below).constData());
    QVERIFY(dir);
    while (dirent *e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..")
            continue;
        const QByteArray rel = below.isEmpty() ? name : below + '/' + name;
        const QByteArray full = root + '/' + rel;
        struct stat st
        {
        };
        QCOMPARE(::lstat(full.constData(), &st), 0);
        Node n;
        n.mode = st.st_mode & 07777;
        n.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        if (S_ISDIR(st.st_mode)) {
            n.type = 'd';
            walk(root, rel, out);
        } else if (S_ISLNK(st.st_mode)) {
            n.type = 'l';
            char target[4096];
            const ssize_t len = ::readlink(full.constData(), target, sizeof target);
            n.data = QByteArray(target, int(len));
            n.mode = 0;
        } else {
            const int fd = ::open(full.constData(), O_RDONLY);
            QVERIFY(fd >= 0);
            char buf[65536];
            for (ssize_t got; (got = ::read(fd, buf, sizeof buf)) > 0;)
                n.data.append(buf, int(got));
            ::close(fd);
        }
        out.insert(rel, n);
    }
    ::closedir(dir);
}

inline Snapshot snapshot(const QByteArray &root)
{
    Snapshot s;
    walk(root, QByteArray(), s);
    return s;
}

// Compares everything the archive keeps; times to its precision (ZIP: 2 s, DOS time
// rounded down to even seconds; 7z: 100 ns). Link times are not compared.
inline void compareTrees(const Snapshot &restored, const Snapshot &source, qint64 precisionNs)
{
    QCOMPARE(restored.keys(), source.keys());
    for (auto it = source.begin(); it != source.end(); ++it) {
        const Node &want = it.value();
        const Node &got = restored.value(it.key());
        const QByteArray where = it.key();
        QVERIFY2(got.type == want.type, where.constData());
        QVERIFY2(got.data == want.data, where.constData());
        QVERIFY2(got.mode == want.mode,
                 (where + " mode " + QByteArray::number(got.mode, 8)).constData());
        if (want.type == 'l')
            continue;
        const qint64 truncated = want.mtimeNs - want.mtimeNs % precisionNs;
        QVERIFY2(got.mtimeNs == truncated, (where + " time " + QByteArray::number(got.mtimeNs) +
                                            " want " + QByteArray::number(truncated))
                                               .constData());
    }
}

} // namespace restoretest
