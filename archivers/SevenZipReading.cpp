#include "archivers/SevenZipReading.h"

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace norvex::archivers::sevenzip {

HRESULT CountingInStream::QueryInterface(const GUID &iid, void **out)
{
    if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
        return hand(static_cast<IInStream *>(this), out);
    if (iid == IID_IStreamGetSize)
        return hand(static_cast<IStreamGetSize *>(this), out);
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT CountingInStream::Read(void *data, UInt32 size, UInt32 *processed)
{
    if (processed)
        *processed = 0;
    for (;;) {
        const ssize_t n = ::pread(m_fd, data, size, Int64(m_position));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return hresultFromErrno(errno);
        m_position += UInt64(n);
        m_read += UInt64(n);
        if (processed)
            *processed = UInt32(n);
        return S_OK;
    }
}

HRESULT CountingInStream::Seek(Int64 offset, UInt32 origin, UInt64 *newPosition)
{
    Int64 base = origin == 0 ? 0 : origin == 1 ? Int64(m_position) : Int64(m_size);
    if (origin > 2 || base + offset < 0)
        return E_INVALIDARG;
    m_position = UInt64(base + offset);
    if (newPosition)
        *newPosition = m_position;
    return S_OK;
}

HRESULT CountingInStream::GetSize(UInt64 *size)
{
    *size = m_size;
    return S_OK;
}

HRESULT PasswordGiver::CryptoGetTextPassword(BSTR *password)
{
    m_asked = true;
    try {
        *password = allocBstr(m_password);
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT OpenCallback::QueryInterface(const GUID &iid, void **out)
{
    if (iid == IID_IUnknown || iid == IID_IArchiveOpenCallback)
        return hand(static_cast<IArchiveOpenCallback *>(this), out);
    if (iid == IID_ICryptoGetTextPassword)
        return hand(static_cast<ICryptoGetTextPassword *>(this), out);
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT ExtractCallbackBase::QueryInterface(const GUID &iid, void **out)
{
    if (iid == IID_IUnknown || iid == IID_IProgress || iid == IID_IArchiveExtractCallback)
        return hand(static_cast<IArchiveExtractCallback *>(this), out);
    if (iid == IID_ICryptoGetTextPassword)
        return hand(static_cast<ICryptoGetTextPassword *>(this), out);
    *out = nullptr;
    return E_NOINTERFACE;
}

QString fromBstr(BSTR b)
{
    QString text;
    for (const wchar_t *p = b; p && *p; ++p)
        text.append(QChar(char16_t(*p)));
    return text;
}

NORVEX_ENGINE_CALL QString itemPath(IInArchive *archive, UInt32 index)
{
    PROPVARIANT value{};
    if (archive->GetProperty(index, kpidPath, &value) != S_OK)
        return QStringLiteral("#%1").arg(index + 1);
    QString path = value.vt == VT_BSTR ? fromBstr(value.bstrVal) : QString();
    if (value.vt == VT_BSTR)
        freeBstr(value.bstrVal);
    return path.isEmpty() ? QStringLiteral("#%1").arg(index + 1) : path;
}

QString operationText(Int32 result)
{
    switch (result) {
    case 1:
        return QStringLiteral("対応していない圧縮方式です。");
    case 2:
        return QStringLiteral("データが壊れています（パスワードが違う可能性があります）。");
    case 3:
        return QStringLiteral("CRC が一致しません。");
    case 4:
        return QStringLiteral("データがありません。");
    case 5:
        return QStringLiteral("データが途中で終わっています。");
    case 6:
        return QStringLiteral("データの後ろに余分なデータがあります。");
    case 7:
        return QStringLiteral("アーカイブではありません。");
    case 8:
        return QStringLiteral("ヘッダが壊れています。");
    case 9:
        return QStringLiteral("パスワードが違います。");
    default:
        return QStringLiteral("エンジンの結果 %1").arg(result);
    }
}

namespace {

// The open-time flags the engine keeps for the archive (kpv_ErrorFlags_*).
QString errorFlagsText(UInt32 flags)
{
    const std::pair<UInt32, const char *> known[] = {
        {1u << 0, "7z 形式ではありません。"},
        {1u << 1, "ヘッダが壊れています。"},
        {1u << 2, "暗号化されたヘッダを読めません（パスワードが違う可能性があります）。"},
        {1u << 3, "アーカイブの先頭がありません。"},
        {1u << 5, "アーカイブが途中で終わっています。"},
        {1u << 6, "アーカイブの後ろに余分なデータがあります。"},
        {1u << 7, "対応していない圧縮方式です。"},
        {1u << 9, "データが壊れています。"},
        {1u << 10, "CRC が一致しません。"},
    };
    for (const auto &[bit, text] : known)
        if (flags & bit)
            return QString::fromUtf8(text);
    return QStringLiteral("エンジンが誤りを報告しました（0x%1）。").arg(flags, 0, 16);
}

} // namespace

NORVEX_ENGINE_CALL QString openArchive(IInArchive *archive, CountingInStream *in,
                                       const QString &password)
{
    auto *openCallback = new OpenCallback(password);
    const UInt64 maxStart = 0;
    HRESULT hr = archive->Open(in, &maxStart, openCallback);
    openCallback->Release();
    if (hr == S_FALSE)
        return QStringLiteral("7z 形式ではないか、ヘッダが壊れています。");
    if (hr == E_ABORT)
        return QStringLiteral(
            "暗号化されたヘッダを読めません（パスワードが違う可能性があります）。");
    if (hr != S_OK)
        return QStringLiteral("アーカイブを開けません（0x%1）。")
            .arg(quint32(hr), 8, 16, QLatin1Char('0'));
    QString why;
    PROPVARIANT flags{};
    PROPVARIANT error{};
    if (archive->GetArchiveProperty(kpidErrorFlags, &flags) == S_OK && flags.vt == VT_UI4 &&
        flags.ulVal != 0) {
        why = errorFlagsText(flags.ulVal);
    } else if (archive->GetArchiveProperty(kpidError, &error) == S_OK && error.vt == VT_BSTR) {
        why = fromBstr(error.bstrVal);
        freeBstr(error.bstrVal);
    }
    if (!why.isEmpty())
        archive->Close();
    return why;
}

} // namespace norvex::archivers::sevenzip
