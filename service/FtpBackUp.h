#pragma once

#include "service/Destination.h"

namespace norvex::service {

// Fixed texts of the FTP destination's failures; the client's ErrorMessage follows.
inline const QString kFtpConnectFailed = QStringLiteral("FTPサーバに接続できませんでした。 \r\n");
inline const QString kFtpBinaryFailed =
    QStringLiteral("バイナリモードに変更できませんでした。 \r\n");
inline const QString kFtpFolderFailed =
    QStringLiteral("指定したディレクトリが作成できないか、移動できませんでした。 \r\n");
inline const QString kFtpUploadFailed =
    QStringLiteral("FTPサーバにアップロードできませんでした。 \r\n");
inline const QString kFtpCloseFailed =
    QStringLiteral("FTPサーバのクローズ処理に失敗しました。 \r\n");

// Transfer step for tobackup "FTP": logs in (15 s per blocking operation), switches to
// binary, creates (result ignored) and enters the sub-folder when asked, and stores the
// archive through storeRotatePublish(): STOR to the final name + ".part", check its size
// and look up the generations with SIZE (MLST, then LIST where the server lacks SIZE),
// rotate them with RNFR/RNTO, move F (if any) aside, rename the
// ".part" to generation 1 or F, and only then DELE what was moved aside; then QUIT. The connection
// is aborted before any error leaves the step; the archive leaves the temporary folder only after
// all of that succeeded.
void FtpBackUp(const TransferContext &ctx);

} // namespace norvex::service
