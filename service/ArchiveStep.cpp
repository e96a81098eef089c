// The archive step of a run (CreateArc): the job's sources into one archive in the
// temporary folder.

#include "archivers/FileErrors.h"
#include "archivers/QuellZip.h"
#include "archivers/SevenZip.h"
#include "platform/Paths.h"
#include "service/BackUpThread.h"
#include "service/Scheduler.h"
#include "shared/EventLog.h"
#include "shared/JobTable.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
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

// The previous run's archive may still be linked into a destination folder (a run cut
// short after publishing): unlink it instead of truncating the data it shares.
void removeStale(const QString &path)
{
    ::unlink(QFile::encodeName(path).constData());
}

// The empty archive the ZIP writer opens and adds to, in file. Created 0600: the sources
// may be private and the temporary folder is often shared. The writer uses this very
// descriptor; the name is never opened again.
void createEmptyZip(archivers::TQuellZip &zip, QFile &file, const QString &path)
{
    removeStale(path);
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw EFCreateError(QStringLiteral("ファイル %1 を作成できません。 %2")
                                .arg(path, platform::systemErrorText(errno)));
    file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
    zip.WriteEmptyArchive(file);
    if (!file.seek(0) || file.error() != QFileDevice::NoError)
        throw EFCreateError(
            QStringLiteral("ファイル %1 を作成できません。 %2").arg(path, file.errorString()));
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
        const QString base = m_settings.tempFolder + QStringLiteral("/Norvex-") + m_name;
        const QStringList sources = shared::decodeSourceList(field("backuplist"));
        QString label;
        if (field("op4") == QLatin1String("1")) {
            // The engine is bound only for 7z jobs: a ZIP job never needs it.
            archivers::TSevenZip sevenZip;
            sevenZip.setAddOptions(archivers::AddOptsEnum::AddRecurseDirs);
            sevenZip.setLZMACompressStrength(archivers::TCompressStrength::FAST);
            if (shared::isOn(field("op2")))
                sevenZip.setPassword(field("op2val"));
            m_archivePath = base + QStringLiteral(".7z");
            sevenZip.FileList().clear();
            sevenZip.setSZFileName(m_archivePath);
            for (const QString &source : sources)
                sevenZip.FileList().append(
                    QFileInfo(source).isDir() ? source + QStringLiteral("/*.*") : source);
            removeStale(m_archivePath);
            const int hr = sevenZip.BuildArchive();
            if (hr < 0)
                throw archivers::ECompressionError(
                    QStringLiteral("7Z形式の圧縮に失敗しました。 %1 (0x%2)")
                        .arg(sevenZip.ErrorMessage())
                        .arg(quint32(hr), 8, 16, QLatin1Char('0')));
            label = QStringLiteral(" 7Z形式圧縮処理を終了しました。");
        } else {
            QFile file; // outlives the writer, which uses it
            archivers::TQuellZip zip;
            m_archivePath = base + QStringLiteral(".zip");
            zip.Close();
            createEmptyZip(zip, file, m_archivePath);
            zip.Open(file);
            zip.AddPaths(sources, QString(), true);
            zip.Close();
            label = QStringLiteral(" ZIP形式圧縮処理を終了しました。");
        }
        const qint64 size = fileSize(m_archivePath);
        log(shared::LogInformation, m_name + label + QStringLiteral("\t圧縮処理時間 ") +
                                        formatDuration(t0.msecsTo(m_settings.clock->now())) +
                                        QStringLiteral("\r\n圧縮後のファイルサイズ ") +
                                        formatKilobytes(size));
        result = true;
    } catch (...) {
        log(shared::LogError,
            QStringLiteral("CreateArc Error 圧縮処理中にエラーが発生しました。\t") +
                errorDetail(std::current_exception()));
    }
    return result;
}

} // namespace norvex::service
