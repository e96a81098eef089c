#pragma once

#include "archivers/SevenZipEngine.h"

#include <QStringList>

namespace norvex::archivers::sevenzip {

// The engine library, loaded with dlopen from the first path that has a usable one and
// unloaded on destruction. Throws shared::Exception when none can be loaded.
class SevenZipLibrary
{
public:
    explicit SevenZipLibrary(const QStringList &candidates);
    ~SevenZipLibrary();
    SevenZipLibrary(const SevenZipLibrary &) = delete;
    SevenZipLibrary &operator=(const SevenZipLibrary &) = delete;

    // The path the library was loaded from.
    const QString &path() const { return m_path; }
    HRESULT createObject(const GUID &clsid, const GUID &iid, void **out) const;

private:
    void *m_handle = nullptr;
    CreateObjectFunc m_createObject = nullptr;
    QString m_path;
};

} // namespace norvex::archivers::sevenzip
