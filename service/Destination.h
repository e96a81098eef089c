#pragma once

// The contract between a backup run and its destination steps (local folder, FTP, SFTP).
//
// A step is a plain function in namespace norvex::service, one per header:
//   void LocalBackUp(const TransferContext &ctx);  service/LocalBackUp.h
//   void FtpBackUp(const TransferContext &ctx);    service/FtpBackUp.h
//   void SftpBackUp(const TransferContext &ctx);   service/SftpBackUp.h
// The run calls it on the run's own thread (which has its own event loop, so a step may
// block or spin a local QEventLoop without holding up the scheduler or other jobs). A step
// is called at most once per run; a step must not keep anything beyond the call. The step:
//   - reads the job's settings from ctx.jobRow (the job row copy) and the pre-read
//     destination options of ctx;
//   - stores the archive through storeRotatePublish(), which fixes the one order every
//     destination follows: store under final name + ".part", rotate the generations, rename
//     ".part" to the final name; on failure remove ".part" and leave the generations as
//     they were;
//   - on success removes the archive from the temporary folder (a local move already has);
//   - writes no log entries: the run writes the start, end and error entries around it;
//   - reports failure by throwing. Its own failures are shared::Exception (class name
//     "Exception") whose message is the fixed Japanese text followed by the client's
//     explanation: use raiseStepError(). Errors raised inside a client (FtpException,
//     ESocketException, EConvertError, ...) pass through unchanged with their own class.
//     The run catches everything derived from shared::Exception (and anything else) and
//     writes the error entry "<backupname> リモートコピー処理中にエラーが発生しました。\t"
//     + className() + " : " + message(). The archive then stays in the temporary folder.

#include "shared/Exception.h"

#include <QString>

namespace norvex::shared {
class TMlb2;
}

namespace norvex::service {

// What a destination step is given. Built by the run just before the step is called.
struct TransferContext
{
    // The job row copy: a one-row table, cursor on its row, read with FieldByName
    // (hostname, port, username, password, keyfile, localbackupdir, ...). Read only; it is
    // not refreshed while the run lasts.
    const shared::TMlb2 &jobRow;
    // 0-based job index (position of the job in the job table at the service's last load).
    int jobIndex = -1;
    // Full path of the archive in the temporary folder ("<tmp>/Norvex-<backupname>.zip").
    QString archivePath;
    // F: the archive's file name without folder ("Norvex-<backupname>.zip" or ".7z").
    QString archiveFileName;
    // The installation folder, with trailing '/' (known_hosts lives there).
    QString installFolder;
    // op1 / op1val: create and use a sub-folder of the destination folder.
    bool subFolder = false;
    QString subFolderName;
    // op3 / op3val: the number G of generations to keep; 0 = no generation management
    // (the archive is stored as F, replacing F of the previous run). Never negative; the
    // run has already refused values it cannot handle.
    int generations = 0;
};

using DestinationStep = void (*)(const TransferContext &ctx);

// Throws shared::Exception(fixedText + detail). fixedText is one of the step's fixed
// texts exactly as it stands, including its trailing space(s) and "\r\n" where it has them.
[[noreturn]] void raiseStepError(const QString &fixedText, const QString &detail);

// Name of generation k of archive file name F: base + "-" + k + "-" + ext, where ext is F
// from its last '.' on ("Norvex-web.site.zip", 1 -> "Norvex-web.site-1-.zip"). A name
// without a dot gets base + "-" + k + "-".
QString generationName(const QString &fileName, int k);

// The final name the new archive gets: generation 1 when generations > 0, else F.
QString finalName(const QString &fileName, int generations);

// The name the archive is stored under until it is complete: finalName + ".part".
QString partName(const QString &fileName, int generations);

// The primitives a destination offers to storeRotatePublish(). Names are plain file names
// relative to the destination folder (the implementation puts its folder or prefix in
// front). Implementations are small adapters created by the step around its client.
class GenerationFolder
{
public:
    virtual ~GenerationFolder() = default;

    // Stores the archive (ctx.archivePath) completely under partName (upload, copy or
    // move; flushed/closed). Throws the destination's error (raiseStepError) on failure;
    // a partial partName may be left, storeRotatePublish() removes it.
    virtual void storePart(const QString &partName) = 0;

    // Deletes a file; false when it is not there or cannot be deleted. Never throws.
    virtual bool removeFile(const QString &name) = 0;

    // Renames from to to (rotation); false on failure. Never throws. Called only when to
    // does not exist (it was deleted or moved on just before).
    virtual bool renameFile(const QString &from, const QString &to) = 0;

    // Renames partName to finalName, replacing finalName when it exists (without
    // generation management F of the previous run is there). Throws the destination's
    // error on failure.
    virtual void publishPart(const QString &partName, const QString &finalName) = 0;
};

// The one order every destination uses (store, rotate, publish):
//   1. folder.storePart(part); on failure removeFile(part) and rethrow: generations untouched.
//   2. with generations G >= 2: for k = G down to 2: (k = G: removeFile(gen G));
//      renameFile(gen k-1, gen k). Results are not checked: a missing generation is skipped.
//   3. folder.publishPart(part, final). On failure removeFile(part), the renames of step 2
//      that succeeded are undone (gen k back to gen k-1), and the error is rethrown. Only
//      the oldest generation, deleted in step 2 after the new archive was complete, is
//      then gone.
// Returns the final name.
QString storeRotatePublish(GenerationFolder &folder, const QString &fileName, int generations);

} // namespace norvex::service
