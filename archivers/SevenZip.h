#pragma once

#include "archivers/MountFilter.h"
#include "shared/Exception.h"
#include "shared/ExcludePatterns.h"

#include <QFlags>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace norvex::archivers {

namespace sevenzip {
class SevenZipLibrary;
}

enum class AddOptsEnum : unsigned {
    AddRecurseDirs = 0x01,
    AddSolid = 0x02,
    AddStoreOnlyFilename = 0x04,
    AddIncludeDriveLetter = 0x08, // no drives on Linux: stored paths lose the leading '/'
    AddEncryptFilename = 0x10,
};
Q_DECLARE_FLAGS(AddOpts, AddOptsEnum)
Q_DECLARE_OPERATORS_FOR_FLAGS(AddOpts)

enum class TCompressType { LZMA, PPMD };
enum class TCompressStrength { SAVE, FAST, NORMAL, MAXIMUM, ULTRA };

// The framework's silent abort: raised when the archive file cannot be created.
class EAbort : public shared::Exception
{
public:
    EAbort() : Exception(QStringLiteral("Abort による中断")) {}
    QString className() const override { return QStringLiteral("EAbort"); }
};

// Writes 7z archives through the 7-Zip engine library (7z.so). The library is loaded by
// the first BuildArchive, not by the constructor, so jobs that never build a 7z archive
// do not depend on it being installed.
class TSevenZip
{
public:
    TSevenZip();
    ~TSevenZip();
    TSevenZip(const TSevenZip &) = delete;
    TSevenZip &operator=(const TSevenZip &) = delete;

    AddOpts AddOptions() const { return m_addOptions; }
    void setAddOptions(AddOpts options) { m_addOptions = options; }
    TCompressType LZMACompressType() const { return m_compressType; }
    void setLZMACompressType(TCompressType type) { m_compressType = type; }
    TCompressStrength LZMACompressStrength() const { return m_strength; }
    void setLZMACompressStrength(TCompressStrength strength) { m_strength = strength; }
    // Passed to the engine as "d" when not 0.
    quint8 LZMAStrength() const { return m_lzmaStrength; }
    void setLZMAStrength(quint8 value) { m_lzmaStrength = value; }
    const QString &Password() const { return m_password; }
    void setPassword(const QString &password) { m_password = password; }
    const QString &SZFileName() const { return m_fileName; }
    void setSZFileName(const QString &fileName) { m_fileName = fileName; }
    const QString &AddRootDir() const { return m_rootDir; }
    void setAddRootDir(const QString &rootDir) { m_rootDir = rootDir; }

    // File paths, and folder paths followed by "/*.*" (or "/*.ext": only that extension)
    // for a folder with its contents.
    QStringList &FileList() { return m_fileList; }
    const QStringList &FileList() const { return m_fileList; }

    // Folders on a virtual file system of table (proc, sysfs, ...) are not entered by
    // BuildArchive; SkippedMounts lists each one met since the component was created.
    void setMountTable(const platform::MountTable *table) { m_mounts.setTable(table); }
    const QList<SkippedMount> &SkippedMounts() const { return m_mounts.skipped(); }
    // Items below a listed folder that patterns match are neither stored nor entered (see
    // ExcludePatterns); Excluded counts them since the component was created.
    void setExcludes(const shared::ExcludePatterns *patterns) { m_excludes = patterns; }
    const shared::ExcludeCounts &Excluded() const { return m_excluded; }

    // Writes SZFileName anew from FileList and returns the engine's HRESULT: 0 when the
    // archive is complete, negative when it failed. On failure the partial archive the
    // engine leaves is removed and ErrorMessage() says what went wrong; a folder or file
    // that cannot be read is a failure ("ファイル ... は開けません: reason"). A file
    // deleted between the listing and the reading is left out. With nothing to
    // store, an empty but valid 7z archive is written and 0 returned ("No files to add" in
    // ErrorMessage()). Throws shared::Exception when the engine library cannot be loaded
    // ("Could not load CreateObject function from 7z.so...") and EAbort when the file
    // cannot be created.
    int BuildArchive();

    // What the last BuildArchive had to say; empty after a complete archive with items.
    const QString &ErrorMessage() const { return m_errorMessage; }

    // Called with the bytes done and the total while the engine works, possibly on one of
    // its threads; returning false cancels the run (E_ABORT, the file is removed).
    void setOnProgress(std::function<bool(quint64 completed, quint64 total)> handler)
    {
        m_onProgress = std::move(handler);
    }

    // Where the engine is looked for, in order: 7z.so in the installation folder, then the
    // Debian and upstream package locations.
    static QStringList defaultLibraryPaths();
    const QStringList &libraryPaths() const { return m_libraryPaths; }
    void setLibraryPaths(const QStringList &paths) { m_libraryPaths = paths; }

private:
    int fail(int hr, const QString &message);

    AddOpts m_addOptions;
    TCompressType m_compressType = TCompressType::LZMA;
    TCompressStrength m_strength = TCompressStrength::NORMAL;
    quint8 m_lzmaStrength = 0;
    QString m_password;
    QString m_fileName;
    QString m_rootDir;
    QStringList m_fileList;
    MountFilter m_mounts;
    const shared::ExcludePatterns *m_excludes = nullptr;
    shared::ExcludeCounts m_excluded;
    QString m_errorMessage;
    std::function<bool(quint64, quint64)> m_onProgress;
    QStringList m_libraryPaths;
    std::unique_ptr<sevenzip::SevenZipLibrary> m_library;
};

} // namespace norvex::archivers
