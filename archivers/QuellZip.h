#pragma once

#include "archivers/CompressionStream.h"
#include "archivers/MountFilter.h"
#include "archivers/ZipCompressorPool.h"
#include "archivers/ZipFileSystem.h"
#include "archivers/ZipOutput.h"
#include "archivers/ZipRecords.h"
#include "shared/ExcludePatterns.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QStringList>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace norvex::archivers {

enum class TZipCompressionType { ctNormal, ctMaximum, ctFast, ctSuperFast, ctNone, ctUnknown };
enum class TZipSaveMethod { FastSave, RebuildAll };
enum class TOverwriteAction { oaSkip, oaSkipAll, oaOverwrite, oaOverwriteAll };

class TQuellZip;
using TOnCompressFile = std::function<void(TQuellZip *sender, qint64 current, qint64 total)>;
using TOnAddItem = std::function<void(TQuellZip *sender, const QString &itemName)>;
using TOnZipChange = std::function<void(TQuellZip *sender, int changeType)>;

// One archive entry: its central directory record and where its local record ends.
class TQuellZipEntriesEntry
{
public:
    TCentralDirectoryFile CentralDirectory;
    quint64 recordEnd = 0;
    bool live = true;
    bool written = true; // false while its record waits to be written

    QDateTime DateTime() const;
    bool IsFolder() const { return CentralDirectory.externalAttributes & AttributeFolder; }
    bool IsEncrypted() const { return CentralDirectory.flags & FlagEncrypted; }
    quint16 CompressionKind() const { return CentralDirectory.method; }
};

// The entries in archive order. A replaced entry stays as a dead slot until the archive
// is closed, so that replacing costs no shifting; names are found through a hash.
class TQuellZipEntries
{
public:
    qsizetype Count() const { return m_live; }
    qsizetype find(const QByteArray &name) const { return m_index.value(name, -1); }
    bool contains(const QByteArray &name) const { return m_index.contains(name); }
    void add(TQuellZipEntriesEntry entry);
    void remove(qsizetype slot);
    void clear();
    // Every slot, dead ones included (check live).
    std::vector<TQuellZipEntriesEntry> &items() { return m_slots; }
    const std::vector<TQuellZipEntriesEntry> &items() const { return m_slots; }

private:
    std::vector<TQuellZipEntriesEntry> m_slots;
    QHash<QByteArray, qsizetype> m_index;
    qsizetype m_live = 0;
};

// ZIP archive component: opens an archive and adds files and folder trees to it.
// Entries are compressed as streams (memory stays bounded whatever the file sizes); the
// central directory is written once, by Close, so writing takes time linear in entries
// and bytes. Between AddPaths and Close the file is not a complete archive.
class TQuellZip
{
public:
    TQuellZip();
    TQuellZip(const TQuellZip &) = delete;
    TQuellZip &operator=(const TQuellZip &) = delete;
    ~TQuellZip();

    TZipCompressionType CompressionType() const { return m_compressionType; }
    void setCompressionType(TZipCompressionType type);
    bool StoreRelativePath() const { return m_storeRelativePath; }
    void setStoreRelativePath(bool on) { m_storeRelativePath = on; }
    bool StoreFolders() const { return m_storeFolders; }
    void setStoreFolders(bool on) { m_storeFolders = on; }
    TZipSaveMethod SaveMethod() const { return m_saveMethod; }
    void setSaveMethod(TZipSaveMethod method) { m_saveMethod = method; }
    TOverwriteAction OverwriteAction() const { return m_overwriteAction; }
    void setOverwriteAction(TOverwriteAction action) { m_overwriteAction = action; }
    bool UseTempFiles() const { return m_useTempFiles; }
    void setUseTempFiles(bool on) { m_useTempFiles = on; }
    bool ApplyAtributes() const { return m_applyAtributes; }
    void setApplyAtributes(bool on) { m_applyAtributes = on; }
    bool ReadOnly() const { return m_readOnly; }
    QString ComponentVersion() const { return QStringLiteral("2.0"); }
    void setComponentVersion(const QString &) {}
    QString FileName() const { return m_fileName; }
    bool IsZipFile() const { return m_isZipFile; }
    bool Active() const { return m_isZipFile; }
    bool HasBadEntries() const { return m_badEntries; }
    QStringList Comment() const;
    void setComment(const QStringList &lines);
    QStringList FileNames() const;
    const TQuellZipEntries &Entries() const { return m_entries; }

    TOnCompressFile OnCompressFile;
    TOnAddItem OnAddItem;
    TOnZipChange OnZipChange;

    // Writes the central directory and end records behind the entries (when entries were
    // added), releases the archive and notifies 0. Harmless when nothing is open; a
    // failure to finish the archive raises after the archive was released.
    void Close();
    // Writes one empty end record (22 bytes) at the stream's position.
    void WriteEmptyArchive(QIODevice &stream);
    // Opens the archive file for adding; raises when it does not exist or cannot be opened.
    void Open(const QString &fileName);
    // Opens an archive on a seekable stream handed in from outside (Close does not free it).
    void Open(QIODevice &stream);
    // Adds the listed files and folder trees in list order. Names that do not exist are
    // skipped; a file that cannot be opened raises EFOpenError (earlier entries stay and
    // Close completes the archive). Returns true.
    bool AddPaths(const QStringList &fileNames, const QString &rootFolder, bool withSubFolders);
    // Folders on a virtual file system of table (proc, sysfs, ...) are not entered by
    // AddPaths; SkippedMounts lists each one met since the component was created.
    void setMountTable(const platform::MountTable *table) { m_mounts.setTable(table); }
    const QList<SkippedMount> &SkippedMounts() const { return m_mounts.skipped(); }
    // Items below a source folder that patterns match are neither stored nor entered (see
    // ExcludePatterns); patterns must outlive AddPaths. Excluded counts them since the
    // component was created.
    void setExcludes(const shared::ExcludePatterns *patterns) { m_excludes = patterns; }
    const shared::ExcludeCounts &Excluded() const { return m_excluded; }

private:
    void openStream(QIODevice &stream);
    void readDirectory();
    bool findEndRecord(qint64 size, qint64 &position);
    bool readCentralDirectory();
    void recoverLocalHeaders(qint64 size);
    void finishArchive();
    void compact();
    void release();
    void notify(int changeType);

    QByteArray relative(const QByteArray &path) const;
    bool leavesOut(const QByteArray &path, bool folder);
    void addFolderTree(const QByteArray &folder, const ZipFileInfo &info, bool withSubFolders,
                       bool follow);
    void addFile(const QByteArray &path, const QByteArray &storedPath, bool follow,
                 const ZipFileInfo *listed = nullptr);
    void addLink(const QByteArray &path, const QByteArray &storedPath, const ZipFileInfo &info);
    void addEntry(const QByteArray &path, const QByteArray &storedPath, quint32 attributes,
                  std::time_t modified, std::unique_ptr<ZipPendingWrite> write);
    void makeFolderEntries(const QByteArray &storedPath, const QByteArray &source,
                           const ZipFileInfo *self, std::time_t modified);
    qsizetype prepareEntry(const QByteArray &storedPath, quint32 attributes, std::time_t modified);
    void enqueue(std::unique_ptr<ZipPendingWrite> write);
    void writeHead();
    void flushPending();
    void abandonPending();
    // Writes an entry's local record and data: none (a folder), deflated whole, or
    // deflated in chunks by the pool.
    void writeRecord(qsizetype slot, ZipEntrySource *source, bool chunked);
    ZipDeflateResult deflateChunked(ZipEntrySource &source);
    void writeMemoryRecord(qsizetype slot, const ZipMemoryJob &job);
    void recordWritten(qsizetype slot);
    void describeAsRead(qsizetype slot, const ZipFileInfo &info);
    TCompressionLevel level() const;

    TZipCompressionType m_compressionType = TZipCompressionType::ctMaximum;
    bool m_storeRelativePath = true;
    bool m_storeFolders = true;
    TZipSaveMethod m_saveMethod = TZipSaveMethod::FastSave;
    TOverwriteAction m_overwriteAction = TOverwriteAction::oaSkip;
    bool m_useTempFiles = false;
    bool m_applyAtributes = true;
    bool m_readOnly = false;
    QString m_fileName;
    bool m_isZipFile = false;
    bool m_badEntries = false;

    std::unique_ptr<QFile> m_ownFile;
    QIODevice *m_stream = nullptr;
    std::unique_ptr<ZipOutput> m_out;
    bool m_haveArchiveId = false;
    dev_t m_archiveDevice = 0;
    ino_t m_archiveInode = 0;

    TEndOfCentralDir m_end;
    qint64 m_endPosition = -1;
    QByteArray m_comment;
    TQuellZipEntries m_entries;
    quint64 m_appendPosition = 0; // where the next local record goes
    bool m_modified = false;
    bool m_holes = false;
    bool m_batch = false;
    QByteArray m_rootFolder;
    MountFilter m_mounts;
    const shared::ExcludePatterns *m_excludes = nullptr;
    shared::ExcludeCounts m_excluded;
    qsizetype m_sourceLength = 0; // of the source folder being walked

    // Entries decided but not written yet, in archive order; small files among them are
    // deflated ahead by the pool (only while AddPaths runs).
    std::deque<std::unique_ptr<ZipPendingWrite>> m_pending;
    qint64 m_pendingBytes = 0;
    std::unique_ptr<ZipCompressorPool> m_pool;
};

} // namespace norvex::archivers
