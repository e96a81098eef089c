#include "archivers/SevenZipLibrary.h"

#include "shared/Exception.h"

#include <QFile>
#include <dlfcn.h>

namespace norvex::archivers::sevenzip {

namespace {

constexpr PROPID kModuleInterfaceType = 0;

// 7-Zip before 23 (and p7zip) gave IUnknown a virtual destructor, which moves every
// method two slots along: calling such an engine through our declarations would crash.
bool hasPlainIUnknown(void *handle)
{
    auto getModuleProp = reinterpret_cast<GetModulePropFunc>(::dlsym(handle, "GetModuleProp"));
    if (!getModuleProp)
        return false;
    PROPVARIANT value{};
    if (getModuleProp(kModuleInterfaceType, &value) != S_OK)
        return false;
    return value.vt == VT_UI4 && value.ulVal == 0;
}

} // namespace

SevenZipLibrary::SevenZipLibrary(const QStringList &candidates)
{
    QString incompatible;
    for (const QString &candidate : candidates) {
        void *handle = ::dlopen(QFile::encodeName(candidate).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            continue;
        auto createObject = reinterpret_cast<CreateObjectFunc>(::dlsym(handle, "CreateObject"));
        if (!createObject) {
            ::dlclose(handle);
            continue;
        }
        if (!hasPlainIUnknown(handle)) {
            ::dlclose(handle);
            if (incompatible.isEmpty())
                incompatible = candidate;
            continue;
        }
        m_handle = handle;
        m_createObject = createObject;
        m_path = candidate;
        return;
    }
    if (!incompatible.isEmpty())
        throw shared::Exception(QStringLiteral("The 7-Zip engine %1 is too old for Norvex "
                                               "(7-Zip 23 or later is needed)")
                                    .arg(incompatible));
    throw shared::Exception(QStringLiteral(
        "Could not load CreateObject function from 7z.so\r\nPerhaps 7z.so not found"));
}

SevenZipLibrary::~SevenZipLibrary()
{
    ::dlclose(m_handle);
}

HRESULT SevenZipLibrary::createObject(const GUID &clsid, const GUID &iid, void **out) const
{
    *out = nullptr;
    return m_createObject(&clsid, &iid, out);
}

} // namespace norvex::archivers::sevenzip
