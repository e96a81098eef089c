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
//     destination follows: store under final name + ".part", check that ".part" holds
//     exactly the archive's size, rotate the generations from what the folder holds,
//     rename ".part" to the final name; on failure remove ".part" and undo what can be
//     undone without renaming over a file;
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

#include <functional>

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
    // Full path of the archive in the temporary folder, under a name that is never a stored
    // name ("<tmp>/Norvex-<backupname>.zip.<pid>.tmp").
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
    // Called while storePart() stores the archive, with the bytes stored so far (may be
    // empty). On the run's thread; cheap, it only records the figure.
    std::function<void(qint64 bytesStored)> onProgress;
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

// The name the oldest stored file waits under while the new archive takes its place:
// "." + name + ".aside". No job's archive, generation or ".part" name starts with a dot, so
// it is never one of them, whatever the job is called.
QString asideName(const QString &name);

// The aside name of earlier versions (name + ".aside"). Still recognised: such a file is
// put back or deleted by the rules of aside files, so it goes only once it is surplus.
QString legacyAsideName(const QString &name);

// The primitives a destination offers to storeRotatePublish(). Names are plain file names
// relative to the destination folder (the implementation puts its folder or prefix in
// front). Implementations are small adapters created by the step around its client.
class GenerationFolder
{
public:
    enum class Result { Done, Absent, Failed, Unsupported };

    virtual ~GenerationFolder() = default;

    // Stores the archive (ctx.archivePath) completely under partName (upload, copy or
    // move; flushed/closed), calling ctx.onProgress as bytes are stored. Returns the size
    // partName has as the destination itself reports it: read from the open file before
    // it is closed where the destination allows, else asked for after the store; a
    // transfer that lost or added bytes on the way shows here. Throws the destination's
    // error (raiseStepError) on failure, also when the size cannot be read; a partial
    // partName may be left, storeRotatePublish() removes it.
    virtual qint64 storePart(const QString &partName) = 0;

    // Whether a file of that name is there: Done when it is, Absent when it is not, Failed
    // when the destination cannot tell (lastError() says why). Never throws.
    virtual Result findFile(const QString &name) = 0;

    // Deletes a file; false when it is not there or cannot be deleted. Never throws.
    virtual bool removeFile(const QString &name) = 0;

    // Renames from to to, a name that is free (FTP's RNTO would replace it: the caller
    // checks). Absent when from does not exist (nothing to move); Failed for any other
    // refusal. A Failed move may still have been carried
    // out (a server that renames and then reports an error). Never throws.
    virtual Result moveFile(const QString &from, const QString &to) = 0;

    // Renames from to to in one step, replacing to, where the destination can do that
    // atomically. Unsupported when it cannot: both are then as they were. Never throws.
    virtual Result replaceFile(const QString &from, const QString &to) = 0;

    // The explanation of the last failed call, and the fixed text of the error raised when
    // the rotation or the publish fails.
    virtual QString lastError() const = 0;
    virtual QString failureText() const = 0;
};

// The one order every destination uses (store, rotate, publish). A run may be cut between
// any two calls (a dropped connection, a time-out, a kill), so each run starts from what
// the folder holds, never from what a complete earlier run would have left. The slots are
// generations 1..G (with G = 0 the one name F); the aside file is that of the oldest slot.
//   1. removeFile(part) (left by a run cut short), then folder.storePart(part), whose
//      stored size must be archiveSize; on failure or a mismatch (an error naming both
//      sizes) removeFile(part) and rethrow. Nothing else has been touched yet.
//   2. findFile() for every slot and the aside file (also the older versions' name). An
//      aside file whose slot is free goes back into it: it is the oldest archive.
//   3. The new archive needs slot 1. Only the generations below the first free slot move
//      on (k-1 to k, oldest first); when no slot is free, the oldest moves aside first.
//      Generations above G (left when G was lowered) are neither moved nor deleted.
//   4. part takes slot 1. With one slot that is still full, part replaces it atomically
//      where the destination can; otherwise the file there moves aside first.
//   5. An aside file is deleted only when its slot holds an archive again and more than G
//      (or one, with G = 0) archives of this job would remain. Only to make room for
//      moving the oldest aside is one deleted before the publish, when every slot is full.
// On a failure in 2 to 4, part is removed and the moves done are undone in reverse order,
// each only while its target is free (findFile() says Absent): an undo never renames over
// a file. Moves that cannot be undone are left as they are and named in the error raised
// (the destination's failure text, its explanation, then where the files are); the next
// run's rotation puts them in order. Returns the final name.
QString storeRotatePublish(GenerationFolder &folder, const QString &fileName, int generations,
                           qint64 archiveSize);

// The same for a step: F, G and the archive's size (read now) from ctx.
QString storeRotatePublish(GenerationFolder &folder, const TransferContext &ctx);

// The detail of the error raised when the stored copy's size is not the archive's.
QString sizeMismatchText(qint64 stored, qint64 expected);

} // namespace norvex::service
