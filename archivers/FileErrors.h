#pragma once

#include "shared/Exception.h"

#include <QString>

namespace norvex::archivers {

// A file that could not be opened; the message names the path.
class EFOpenError : public norvex::shared::Exception
{
public:
    explicit EFOpenError(const QString &path)
        : Exception(QStringLiteral("ファイル %1 は開けません").arg(path))
    {
    }
    QString className() const override { return QStringLiteral("EFOpenError"); }
};

// An operating system failure while writing an archive (disk full, I/O error); the
// message is the system's error text.
class EOSError : public norvex::shared::Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EOSError"); }
};

// Failures of the deflate stream ("error") and operations it does not support.
class ECompressionError : public norvex::shared::Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("ECompressionError"); }
};

} // namespace norvex::archivers
