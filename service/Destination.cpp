#include "service/Destination.h"

#include <utility>
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

QString asideName(const QString &name)
{
    return name + QStringLiteral(".aside");
}

namespace {

using Result = GenerationFolder::Result;

// One run of storeRotatePublish(): the moves done so far, undone when the run fails.
class Publication
{
public:
    Publication(GenerationFolder &folder, QString part) : m_folder(folder), m_part(std::move(part))
    {
    }

    // Moves from to to; a missing from is skipped (Absent).
    Result move(const QString &from, const QString &to)
    {
        const Result result = m_folder.moveFile(from, to);
        if (result == Result::Done)
            m_moves.emplace_back(from, to);
        return result;
    }

    // Puts everything back as it was before the run and raises the destination's error.
    [[noreturn]] void fail()
    {
        const QString detail = m_folder.lastError();
        m_folder.removeFile(m_part);
        for (auto it = m_moves.rbegin(); it != m_moves.rend(); ++it)
            m_folder.moveFile(it->second, it->first);
        raiseStepError(m_folder.failureText(), detail);
    }

    void publish(const QString &target)
    {
        const Result result = m_folder.replaceFile(m_part, target);
        if (result == Result::Done)
            return;
        if (result != Result::Unsupported)
            fail();
        // The old file goes only once the new one has its name.
        const QString aside = asideName(target);
        if (moveAside(target, aside) == Result::Failed ||
            m_folder.moveFile(m_part, target) != Result::Done)
            fail();
        m_folder.removeFile(aside);
    }

    // Moves name to aside. A file there that a run cut short left (it may be the only copy
    // of name) is deleted only when it is in the way.
    Result moveAside(const QString &name, const QString &aside)
    {
        const Result result = move(name, aside);
        if (result == Result::Failed && m_folder.removeFile(aside))
            return move(name, aside);
        return result;
    }

private:
    GenerationFolder &m_folder;
    QString m_part;
    std::vector<std::pair<QString, QString>> m_moves;
};

} // namespace

QString storeRotatePublish(GenerationFolder &folder, const QString &fileName, int generations)
{
    const QString part = partName(fileName, generations);
    const QString target = finalName(fileName, generations);

    // A ".part" of a run that was cut short is no generation.
    folder.removeFile(part);
    try {
        folder.storePart(part);
    } catch (...) {
        folder.removeFile(part);
        throw;
    }

    Publication run(folder, part);
    const QString oldest = generationName(fileName, generations);
    if (generations >= 2) {
        // The oldest generation waits aside until the new archive is published.
        if (run.moveAside(oldest, asideName(oldest)) == Result::Failed)
            run.fail();
        for (int k = generations; k >= 2; --k) {
            if (run.move(generationName(fileName, k - 1), generationName(fileName, k)) ==
                Result::Failed)
                run.fail();
        }
    }
    run.publish(target);
    if (generations >= 2)
        folder.removeFile(asideName(oldest));
    return target;
}

} // namespace norvex::service
