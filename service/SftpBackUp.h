#pragma once

#include "service/Destination.h"

namespace norvex::service {

// Fixed texts of the SFTP destination's failures; the component's ErrorText follows.
inline const QString kSftpConnectFailed =
    QStringLiteral("SSHサーバの接続処理に失敗しました。 \r\n");
inline const QString kSftpKeyReadFailed = QStringLiteral("秘密鍵のロードに失敗しました。 \r\n");
inline const QString kSftpKeyLoadFailed = QStringLiteral("秘密鍵のオープンに失敗しました。 \r\n");
inline const QString kSftpKeyAuthFailed = QStringLiteral("秘密鍵の認証に失敗しました。 \r\n");
inline const QString kSftpPasswordAuthFailed =
    QStringLiteral("SSHサーバの認証に失敗しました。 \r\n");
inline const QString kSftpStartFailed =
    QStringLiteral("SSHサーバのイニシャライズに失敗しました。 \r\n");
inline const QString kSftpFolderFailed =
    QStringLiteral("指定したディレクトリが作成できないか、移動できませんでした。  \r\n");
inline const QString kSftpUploadFailed =
    QStringLiteral("SSHサーバへのアップロードに失敗しました。 \r\n");
inline const QString kSftpCloseFailed =
    QStringLiteral("SSHサーバのクローズ処理に失敗しました。 \r\n");

// Transfer step for tobackup "SFTP": connects (15 s connect and idle time-outs),
// authenticates with the key file when one is set, else with the password, creates the
// sub-folder when asked, and stores the archive through storeRotatePublish(): upload to
// the final name + ".part" (mode 0600), rotate, and rename it to the final name with the
// server's posix-rename@openssh.com, or, where the server lacks it, by moving the old file
// aside first. The archive leaves the temporary folder only
// after that. A port that is not an integer raises EConvertError before any connection.
void SftpBackUp(const TransferContext &ctx);

} // namespace norvex::service
