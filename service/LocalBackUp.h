#pragma once

#include "service/Destination.h"

namespace norvex::service {

// Fixed text of every failure of the local folder destination; the system's text follows.
inline const QString kLocalBackUpFailed =
    QStringLiteral("ローカルディスクへのバックアップに失敗しました。 ");

// Transfer step for tobackup "Local": stores the archive in localbackupdir (or its
// sub-folder) through storeRotatePublish(). On the same file system the ".part" file is a
// hard link to the archive (no copy); elsewhere a flushed copy. Either way the stored file
// has mode 0600: it holds the user's private data. The archive leaves the temporary folder
// only after the new generation is published.
void LocalBackUp(const TransferContext &ctx);

// LocalBackUp() with the folder given, for callers that have it already.
void storeInLocalFolder(const QString &localBackupDir, const TransferContext &ctx);

// The local folder as seen by storeRotatePublish(): plain file-system calls in folder.
class LocalGenerationFolder : public GenerationFolder
{
public:
    LocalGenerationFolder(QString folder, QString archivePath,
                          std::function<void(qint64)> onProgress = {});

    // The size is that of the open stored file (fstat before close).
    qint64 storePart(const QString &partName) override;
    Result findFile(const QString &name) override;
    bool removeFile(const QString &name) override;
    Result moveFile(const QString &from, const QString &to) override;
    Result replaceFile(const QString &from, const QString &to) override;
    QString lastError() const override;
    QString failureText() const override { return kLocalBackUpFailed; }

    // True when storePart() had to copy (the archive is on another file system).
    bool copied() const { return m_copied; }

private:
    QString path(const QString &name) const;
    qint64 copyArchive(const QString &target);

    QString m_folder;
    QString m_archivePath;
    std::function<void(qint64)> m_onProgress;
    bool m_copied = false;
    int m_error = 0; // errno of the last failed call
};

} // namespace norvex::service
