#include "service/Destination.h"

#include <vector>

namespace norvex::service {

void raiseStepError(const QString &fixedText, const QString &detail)
{
    throw shared::Exception(fixedText + detail);
}

QString generationName(const QString &fileName, int k)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString base = dot < 0 ? fileName : fileName.left(dot);
    const QString ext = dot < 0 ? QString() : fileName.mid(dot);
    return base + QLatin1Char('-') + QString::number(k) + QLatin1Char('-') + ext;
}

QString finalName(const QString &fileName, int generations)
{
    return generations > 0 ? generationName(fileName, 1) : fileName;
}

QString partName(const QString &fileName, int generations)
{
    return finalName(fileName, generations) + QStringLiteral(".part");
}

QString storeRotatePublish(GenerationFolder &folder, const QString &fileName, int generations)
{
    const QString part = partName(fileName, generations);
    const QString target = finalName(fileName, generations);

    try {
        folder.storePart(part);
    } catch (...) {
        folder.removeFile(part);
        throw;
    }

    // Only now that the new archive is complete may the oldest generation go.
    std::vector<int> moved; // k for every successful rename of k-1 to k
    for (int k = generations; k >= 2; --k) {
        if (k == generations)
            folder.removeFile(generationName(fileName, k));
        if (folder.renameFile(generationName(fileName, k - 1), generationName(fileName, k)))
            moved.push_back(k);
    }

    try {
        folder.publishPart(part, target);
    } catch (...) {
        folder.removeFile(part);
        // Undo from the newest end, so each name is free again before it is reused.
        for (auto it = moved.rbegin(); it != moved.rend(); ++it)
            folder.renameFile(generationName(fileName, *it), generationName(fileName, *it - 1));
        throw;
    }
    return target;
}

} // namespace norvex::service
