#pragma once

// A destination folder in memory whose ".part" file cannot be renamed, as when an FTP or
// SFTP connection drops between the rotation and the publish. A local folder cannot be
// made to fail there.

#include "service/Destination.h"

#include <QMap>
#include <QString>

namespace norvex::fakes {

class PublishFailsFolder : public service::GenerationFolder
{
public:
    QMap<QString, QString> files; // name -> content

    qint64 storePart(const QString &partName) override
    {
        files[partName] = QStringLiteral("new");
        return 3;
    }
    Result findFile(const QString &name) override
    {
        return files.contains(name) ? Result::Done : Result::Absent;
    }
    bool removeFile(const QString &name) override { return files.remove(name) > 0; }
    Result moveFile(const QString &from, const QString &to) override
    {
        if (!files.contains(from))
            return Result::Absent;
        if (files.contains(to) || from.endsWith(QLatin1String(".part")))
            return Result::Failed;
        files[to] = files.take(from);
        return Result::Done;
    }
    Result replaceFile(const QString &, const QString &) override { return Result::Unsupported; }
    QString lastError() const override { return QStringLiteral("(connection lost)"); }
    QString failureText() const override { return QStringLiteral("publish failed "); }
};

} // namespace norvex::fakes
