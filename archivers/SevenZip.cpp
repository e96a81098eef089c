#include "archivers/SevenZip.h"

#include "archivers/SevenZipEngine.h"
#include "archivers/SevenZipItems.h"
#include "archivers/SevenZipLibrary.h"
#include "archivers/SevenZipStreams.h"
#include "archivers/SevenZipUpdateCallback.h"
#include "platform/Paths.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace norvex::archivers {

using namespace sevenzip;

namespace {

// Settings for ISetProperties. Each SetProperties call resets what earlier calls set, so
// they all go in one call.
class EngineProperties
{
public:
    ~EngineProperties()
    {
        for (PROPVARIANT &v : m_values)
            if (v.vt == VT_BSTR)
                freeBstr(v.bstrVal);
    }

    void add(const wchar_t *name, UInt32 number)
    {
        PROPVARIANT v{};
        v.vt = VT_UI4;
        v.ulVal = number;
        push(name, v);
    }
    void add(const wchar_t *name, const QString &text)
    {
        PROPVARIANT v{};
        v.bstrVal = allocBstr(text);
        v.vt = VT_BSTR;
        push(name, v);
    }

    NORVEX_ENGINE_CALL HRESULT applyTo(ISetProperties *target) const
    {
        return target->SetProperties(m_names.data(), m_values.data(), UInt32(m_names.size()));
    }

private:
    void push(const wchar_t *name, const PROPVARIANT &v)
    {
        m_names.push_back(name);
        m_values.push_back(v);
    }

    std::vector<const wchar_t *> m_names;
    std::vector<PROPVARIANT> m_values;
};

UInt32 levelOf(TCompressStrength strength)
{
    switch (strength) {
    case TCompressStrength::SAVE:
        return 0;
    case TCompressStrength::FAST:
        return 3;
    case TCompressStrength::NORMAL:
        return 5;
    case TCompressStrength::MAXIMUM:
        return 7;
    case TCompressStrength::ULTRA:
        return 9;
    }
    return 5;
}

QString describe(int hr)
{
    if (hr == E_ABORT)
        return QStringLiteral("User canceled operation");
    if (isErrnoHresult(hr))
        return platform::systemErrorText(hr & 0xFFFF);
    if (hr == E_OUTOFMEMORY)
        return QStringLiteral("Out of memory");
    return QStringLiteral("7-Zip engine error 0x%1").arg(uint(hr), 8, 16, QLatin1Char('0'));
}

QString unreadable(const SourceError &e)
{
    return QStringLiteral("ファイル %1 は開けません: %2")
        .arg(QFile::decodeName(QByteArray::fromStdString(e.path)),
             platform::systemErrorText(e.error));
}

} // namespace

TSevenZip::TSevenZip() : m_libraryPaths(defaultLibraryPaths())
{
}

TSevenZip::~TSevenZip() = default;

QStringList TSevenZip::defaultLibraryPaths()
{
    return {platform::installFolder() + QStringLiteral("7z.so"),
            QStringLiteral("/usr/lib/p7zip/7z.so"), QStringLiteral("/usr/lib/7zip/7z.so"),
            QStringLiteral("/usr/libexec/p7zip/7z.so")};
}

int TSevenZip::fail(int hr, const QString &message)
{
    m_errorMessage = message;
    return hr;
}

NORVEX_ENGINE_CALL int TSevenZip::BuildArchive()
{
    m_errorMessage.clear();

    ItemOptions options;
    options.recurse = m_addOptions.testFlag(AddOptsEnum::AddRecurseDirs);
    options.storeOnlyFilename = m_addOptions.testFlag(AddOptsEnum::AddStoreOnlyFilename);
    options.rootDir = QFile::encodeName(m_rootDir).toStdString();
    options.mounts = &m_mounts;
    options.excludes = m_excludes;
    options.excluded = &m_excluded;
    auto items = std::make_shared<std::vector<ArchiveItem>>();
    try {
        *items = collectItems(m_fileList, options);
    } catch (const SourceError &e) {
        return fail(hresultFromErrno(e.error), unreadable(e));
    }

    // The engine comes before the file: a missing engine leaves nothing behind.
    if (!m_library)
        m_library = std::make_unique<SevenZipLibrary>(m_libraryPaths);
    ComPtr<IOutArchive> archive;
    HRESULT hr = m_library->createObject(CLSID_Format7z, IID_IOutArchive, archive.out());
    if (hr == S_OK && !archive)
        hr = E_FAIL;
    if (hr != S_OK)
        return fail(hr, QStringLiteral("The 7-Zip engine %1 could not create its 7z handler: %2")
                            .arg(m_library->path(), describe(hr)));
    ComPtr<ISetProperties> setProperties;
    hr = archive->QueryInterface(IID_ISetProperties, setProperties.out());
    if (hr != S_OK || !setProperties)
        return fail(hr != S_OK ? hr : E_FAIL,
                    QStringLiteral("The 7-Zip engine %1 takes no settings").arg(m_library->path()));

    EngineProperties properties;
    if (m_compressType == TCompressType::LZMA) {
        properties.add(L"X", levelOf(m_strength));
        properties.add(L"s", m_addOptions.testFlag(AddOptsEnum::AddSolid) ? QStringLiteral("on")
                                                                          : QStringLiteral("off"));
        if (m_lzmaStrength != 0)
            properties.add(L"d", UInt32(m_lzmaStrength));
    } else {
        properties.add(L"0", QStringLiteral("PPMd"));
    }
    if (!m_password.isEmpty() && m_addOptions.testFlag(AddOptsEnum::AddEncryptFilename))
        properties.add(L"he", QStringLiteral("on"));
    hr = properties.applyTo(setProperties.get());
    if (hr != S_OK)
        return fail(hr,
                    QStringLiteral("The 7-Zip engine refused the settings: %1").arg(describe(hr)));

    const QByteArray path = QFile::encodeName(m_fileName);
    // A previous archive under this name is removed, never truncated: it may still be
    // linked into a destination. Then the archive is created anew, mode 0600 (it holds
    // copies of whatever the sources are, in a shared temporary folder); O_EXCL: a file or
    // link planted under the name meanwhile is not written through.
    ::unlink(path.constData());
    int fd;
    do
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        m_errorMessage = QStringLiteral("%1: %2").arg(m_fileName, platform::systemErrorText(errno));
        throw EAbort();
    }

    // An old archive inside a listed folder was listed too; the new one must not read itself.
    struct stat self;
    if (::fstat(fd, &self) == 0)
        std::erase_if(*items, [&](const ArchiveItem &item) {
            return !item.isDir && !item.isLink && item.device == self.st_dev &&
                   item.inode == self.st_ino;
        });

    std::optional<SourceError> sourceFailure;
    try {
        auto *out = new FileOutStream(fd);
        UpdateCallback *callback = nullptr;
        try {
            callback = new UpdateCallback(items, m_password, m_onProgress);
        } catch (...) {
            out->Release();
            throw;
        }
        hr = archive->UpdateItems(out, UInt32(items->size()), callback);
        sourceFailure = callback->sourceFailure();
        callback->Release();
        out->Release();
    } catch (...) {
        ::close(fd);
        ::unlink(path.constData());
        throw;
    }
    archive.reset();
    setProperties.reset();

    if (::close(fd) != 0 && hr == S_OK)
        hr = hresultFromErrno(errno);
    if (hr == S_OK) {
        if (items->empty())
            m_errorMessage = QStringLiteral("No files to add");
        return S_OK;
    }
    // The engine leaves a partial file that is no archive.
    ::unlink(path.constData());
    if (sourceFailure)
        return fail(hr, unreadable(*sourceFailure));
    return fail(hr, QStringLiteral("%1: %2").arg(m_fileName, describe(hr)));
}

} // namespace norvex::archivers
