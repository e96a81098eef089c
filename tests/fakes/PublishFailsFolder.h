#pragma once

// A destination folder in memory whose final rename fails, as when an FTP or SFTP
// connection drops between the rotation and the rename of ".part". A local folder cannot
// be made to fail there.

#include "service/Destination.h"

#include <QMap>
#include <QString>

namespace norvex::fakes {

class PublishFailsFolder : public service::GenerationFolder
{
public:
    QMap<QString, QString> files; // name -> content

    void storePart(const QString &partName) override { files[partName] = QStringLiteral("new"); }
    bool removeFile(const QString &name) override { return files.remove(name) > 0; }
    bool renameFile(const QString &from, const QString &to) override
    {
        if (!files.contains(from) || files.contains(to))
            return false;
        files[to] = files.take(from);
        return true;
    }
    void publishPart(const QString &, const QString &) override
    {
        service::raiseStepError(QStringLiteral("publish failed "),
                                QStringLiteral("(connection lost)"));
    }
};

} // namespace norvex::fakes
