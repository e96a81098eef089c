// The archive step of a run (CreateArc): the job's sources into one archive in the
// temporary folder, under a temporary name; the destination steps store it as F.

#include "archivers/ArchiveTest.h"
#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"
#include "archivers/SevenZip.h"
#include "platform/MountTable.h"
#include "platform/Paths.h"
#include "service/BackUpThread.h"
#include "service/CompressionProgress.h"
#include "service/Scheduler.h"
#include "shared/EventLog.h"
#include "shared/ExcludePatterns.h"
#include "shared/JobTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::service {

namespace {

// The archive file could not be created in the temporary folder.
class EFCreateError : public shared::Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EFCreateError"); }
};

QString printable(QString name)
{
    for (QChar &c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    return name;
}

// The archive is built under a name no stored archive can have (stored names end in the
// archive's extension, ".part" or ".aside"), so that a temporary folder that is also the
// destination never has a stored archive replaced before the new one is complete. The
// process id keeps services that share the folder apart.
QString temporaryName(const QString &fileName, qint64 pid)
{
    return fileName + QLatin1Char('.') + QString::number(pid) + QStringLiteral(".tmp");
}

// Removes this job's temporary archives left by a run that ended early: those of processes
// that are gone, and this process's own (a run whose transfer failed; one run of a job at
// a time). Nothing else in the folder is touched.
void removeStaleTemporaries(const QString &folder, const QString &fileName)
{
    const QString prefix = fileName + QLatin1Char('.');
    const QString suffix = QStringLiteral(".tmp");
    const QStringList names =
        QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!name.startsWith(prefix) || !name.endsWith(suffix) ||
            name.size() <= prefix.size() + suffix.size())
            continue;
        const QString digits = name.mid(prefix.size(), name.size() - prefix.size() - suffix.size());
        bool ok = false;
        const qint64 pid = digits.toLongLong(&ok);
        if (!ok || pid <= 0 || digits != QString::number(pid))
            continue;
        if (pid == QCoreApplication::applicationPid() ||
            (::kill(pid_t(pid), 0) != 0 && errno == ESRCH))
            ::unlink(QFile::encodeName(folder + QLatin1Char('/') + name).constData());
    }
}

// The empty archive the ZIP writer opens and adds to, in file. Created 0600: the sources
// may be private and the temporary folder is often shared. The writer uses this very
// descriptor; the name is never opened again.
void createEmptyZip(archivers::TQuellZip &zip, QFile &file, const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw EFCreateError(QStringLiteral("ファイル %1 を作成できません。 %2")
                                .arg(path, platform::systemErrorText(errno)));
    file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
    zip.WriteEmptyArchive(file);
    if (!file.seek(0) || file.error() != QFileDevice::NoError)
        throw EFCreateError(
            QStringLiteral("ファイル %1 を作成できません。 %2").arg(path, file.errorString()));
}

QString quotedList(const QStringList &paths)
{
    QStringList quoted;
    for (const QString &path : paths)
        quoted << QStringLiteral("「") + printable(path) + QStringLiteral("」");
    return quoted.join(QLatin1Char(' '));
}

// Splits the sources into those that exist (a link is followed) and those that do not. A
// source that is there but cannot be looked at is a failure, not a missing source.
QStringList existingSources(const QStringList &sources, QStringList &missing)
{
    QStringList present;
    for (const QString &source : sources) {
        struct stat st;
        if (::stat(QFile::encodeName(source).constData(), &st) == 0) {
            present << source;
        } else if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
            missing << source;
        } else {
            throw archivers::EFOpenError(source);
        }
    }
    return present;
}

qint64 fileSize(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.size() : 0;
}

} // namespace

bool TBackUpThread::CreateArc()
{
    msleep(500);
    const QDateTime t0 = m_settings.clock->now();
    log(shared::LogInformation, m_name + QStringLiteral(" 圧縮処理を開始しました。"));
    bool result = false;
    bool created = false;
    try {
        if (!shared::isSafeJobName(m_name))
            throw shared::Exception(
                QStringLiteral(
                    "バックアップ名 「%1」 には使えない文字 (/ または制御文字) が含まれています。")
                    .arg(printable(m_name)));
        if (shared::hasGenerationSuffix(m_name))
            throw shared::Exception(
                QStringLiteral("バックアップ名 「%1」 は 「-数字-」 で終わるため、"
                               "他のバックアップの世代の名前と重なります。")
                    .arg(m_name));
        const QStringList sources = shared::decodeSourceList(field("backuplist"));
        QStringList missing;
        const QStringList present = existingSources(sources, missing);
        for (const QString &source : std::as_const(missing))
            log(shared::LogWarning,
                m_name +
                    QStringLiteral(" バックアップ元が見つからないため、圧縮対象から除外しました。"
                                   "\tバックアップ元 ") +
                    printable(source));
        // An archive of nothing would be stored and rotated in like a good one.
        if (sources.isEmpty())
            throw shared::Exception(
                QStringLiteral("バックアップ元が指定されていないため、アーカイブを作成しません。"));
        if (present.isEmpty())
            throw shared::Exception(
                QStringLiteral(
                    "バックアップ元がひとつも見つからないため、アーカイブを作成しません。 ") +
                quotedList(missing));

        // A pattern the editor would refuse (a hand-edited table) is left unused: the run
        // then stores more, never less.
        const QStringList patterns = shared::decodeExcludes(field(shared::ExcludeField));
        for (const QString &pattern : patterns)
            if (const QString problem = shared::ExcludePatterns::problem(pattern);
                !problem.isEmpty())
                log(shared::LogWarning,
                    m_name + QStringLiteral(" 除外パターンが正しくないため、使用しません。\t") +
                        printable(pattern) + QLatin1Char(' ') + problem);
        const shared::ExcludePatterns excludes(patterns);
        shared::ExcludeCounts excluded;

        const bool sevenZ = field("op4") == QLatin1String("1");
        m_archiveFileName = QStringLiteral("Norvex-") + m_name +
                            (sevenZ ? QStringLiteral(".7z") : QStringLiteral(".zip"));
        removeStaleTemporaries(m_settings.tempFolder, m_archiveFileName);
        m_archivePath = m_settings.tempFolder + QLatin1Char('/') +
                        temporaryName(m_archiveFileName, QCoreApplication::applicationPid());
        const platform::MountTable mounts = platform::MountTable::current();
        CompressionProgress progress([this](const CompressionFigures &f) {
            setStatus(
                [&f](shared::JobStatus &s) {
                    if (!s.running)
                        return;
                    s.running->filesDone = f.filesDone;
                    s.running->filesTotal = f.filesTotal;
                    s.running->bytesDone = f.bytesDone;
                    s.running->bytesTotal = f.bytesTotal;
                },
                RunStatusStore::Write::Throttled);
        });
        QList<archivers::SkippedMount> skipped;
        QString label;
        if (sevenZ) {
            // The engine is bound only for 7z jobs: a ZIP job never needs it.
            archivers::TSevenZip sevenZip;
            sevenZip.setAddOptions(archivers::AddOptsEnum::AddRecurseDirs);
            sevenZip.setLZMACompressStrength(archivers::TCompressStrength::FAST);
            if (shared::isOn(field("op2")))
                sevenZip.setPassword(field("op2val"));
            sevenZip.setMountTable(&mounts);
            sevenZip.setExcludes(&excludes);
            if (m_settings.status)
                progress.attach(sevenZip);
            sevenZip.FileList().clear();
            sevenZip.setSZFileName(m_archivePath);
            for (const QString &source : present)
                sevenZip.FileList().append(
                    QFileInfo(source).isDir() ? source + QStringLiteral("/*.*") : source);
            const int hr = sevenZip.BuildArchive();
            skipped = sevenZip.SkippedMounts();
            excluded = sevenZip.Excluded();
            if (hr < 0)
                throw archivers::ECompressionError(
                    QStringLiteral("7Z形式の圧縮に失敗しました。 %1 (0x%2)")
                        .arg(sevenZip.ErrorMessage())
                        .arg(quint32(hr), 8, 16, QLatin1Char('0')));
            label = QStringLiteral(" 7Z形式圧縮処理を終了しました。");
        } else {
            QFile file; // outlives the writer, which uses it
            archivers::TQuellZip zip;
            zip.setMountTable(&mounts);
            zip.setExcludes(&excludes);
            if (m_settings.status) {
                progress.countInBackground(present, &mounts, &excludes);
                progress.attach(zip);
            }
            zip.Close();
            createEmptyZip(zip, file, m_archivePath);
            created = true;
            zip.Open(file);
            zip.AddPaths(present, QString(), true);
            zip.Close();
            skipped = zip.SkippedMounts();
            excluded = zip.Excluded();
            label = QStringLiteral(" ZIP形式圧縮処理を終了しました。");
        }
        for (const archivers::SkippedMount &mount : std::as_const(skipped))
            log(shared::LogInformation,
                m_name +
                    QStringLiteral(
                        " 仮想ファイルシステムのマウントポイントを圧縮対象から除外しました。"
                        "\tマウントポイント ") +
                    printable(mount.path) + QStringLiteral(" (") + mount.fileSystem +
                    QLatin1Char(')'));
        const qint64 size = fileSize(m_archivePath);
        m_archiveSize = size;
        log(shared::LogInformation,
            m_name + label + QStringLiteral("\t圧縮処理時間 ") +
                formatDuration(t0.msecsTo(m_settings.clock->now())) +
                QStringLiteral("\r\n圧縮後のファイルサイズ ") + formatKilobytes(size) +
                (patterns.isEmpty() ? QString()
                                    : QStringLiteral("\r\n") + formatExcluded(excluded)));
        result = true;
    } catch (...) {
        // A half-written archive is of no use to any later run.
        if (created)
            ::unlink(QFile::encodeName(m_archivePath).constData());
        m_failure = errorDetail(std::current_exception());
        m_failureEntry =
            QStringLiteral("CreateArc Error 圧縮処理中にエラーが発生しました。\t") + m_failure;
        log(shared::LogError, m_failureEntry);
    }
    return result;
}

bool TBackUpThread::verifyArchive()
{
    if (m_settings.damageArchiveForTest)
        m_settings.damageArchiveForTest(m_archivePath);
    if (!m_settings.verifyArchive)
        return true;
    enterStage(shared::RunStage::Verifying);
    const auto kind = m_archiveFileName.endsWith(QStringLiteral(".7z"))
                          ? archivers::ArchiveKind::SevenZip
                          : archivers::ArchiveKind::Zip;
    const QString problem = archivers::testArchive(
        m_archivePath, kind, [this](qint64 done, qint64) { archiveProgress(done); },
        shared::isOn(field("op2")) ? field("op2val") : QString());
    if (problem.isEmpty())
        return true;
    // Kept for a person to look at, once per job: the next damaged archive replaces it.
    // Its name ends in neither the archive's extension nor ".part", so no destination and
    // no clean-up of temporary archives ever takes it for an archive of this job.
    const QString kept =
        m_settings.tempFolder + QLatin1Char('/') + m_archiveFileName + QStringLiteral(".damaged");
    QString where;
    if (::rename(QFile::encodeName(m_archivePath).constData(),
                 QFile::encodeName(kept).constData()) == 0)
        where = QStringLiteral(" 調査用に %1 に残しました。").arg(printable(kept));
    m_failure = QStringLiteral("Exception : ") + problem + where;
    m_failureEntry =
        m_name + QStringLiteral(" 作成したアーカイブが正しく読み出せないため、転送しません。\t") +
        m_failure;
    log(shared::LogError, m_failureEntry);
    return false;
}

} // namespace norvex::service
