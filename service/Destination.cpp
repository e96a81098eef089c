#include "service/Destination.h"

#include "platform/Paths.h"

#include <QFile>
#include <QList>
#include <QStringList>

#include <utility>
#include <vector>

#include <cerrno>
#include <sys/stat.h>

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
    return QLatin1Char('.') + name + QStringLiteral(".aside");
}

QString legacyAsideName(const QString &name)
{
    return name + QStringLiteral(".aside");
}

namespace {

using Result = GenerationFolder::Result;

// One run of storeRotatePublish() after the store: what the folder holds, as far as this
// run knows, and the moves done so far, undone when the run fails.
class Publication
{
public:
    Publication(GenerationFolder &folder, const QString &fileName, int generations)
        : m_folder(folder), m_part(partName(fileName, generations))
    {
        if (generations > 0) {
            for (int k = 1; k <= generations; ++k)
                m_slots << generationName(fileName, k);
        } else {
            m_slots << fileName;
        }
        // The newer kind first: with both there, the older version's file is the older.
        m_asides << asideName(m_slots.last()) << legacyAsideName(m_slots.last());
    }

    void survey()
    {
        for (const QString &name : std::as_const(m_slots))
            m_full << exists(name);
        for (const QString &name : std::as_const(m_asides))
            m_asideThere << exists(name);
        // A file set aside whose slot is free again is the oldest archive: it goes back.
        for (qsizetype i = 0; i < m_asides.size() && !m_full.last(); ++i) {
            if (m_asideThere[i]) {
                m_asideThere[i] = false;
                m_full.last() = move(m_asides[i], m_slots.last()) == Result::Done;
            }
        }
    }

    // Frees slot 1 by moving on the generations below the first free slot. With one
    // slot, a full slot is left to publish().
    void rotate()
    {
        qsizetype free = m_full.indexOf(false);
        if (free == 0)
            return;
        if (free < 0) {
            if (m_slots.size() == 1)
                return;
            moveOldestAside();
            free = m_slots.size() - 1;
        }
        for (qsizetype k = free; k >= 1; --k) {
            if (move(m_slots[k - 1], m_slots[k]) == Result::Done)
                m_full[k] = true;
            m_full[k - 1] = false;
        }
    }

    void publish()
    {
        const QString &target = m_slots.first();
        const Result result = m_folder.replaceFile(m_part, target);
        if (result == Result::Failed)
            fail();
        if (result == Result::Unsupported) {
            // The old file goes only once the new one has its name.
            if (m_full.first())
                moveOldestAside();
            if (move(m_part, target) != Result::Done)
                fail();
        }
        m_full.first() = true;
    }

    // Deletes aside files, oldest first, while their slot holds an archive and more than
    // G archives would remain. A failure here costs nothing: the next run sees the file.
    void removeSurplus()
    {
        qsizetype count = m_full.count(true) + m_asideThere.count(true);
        for (qsizetype i = m_asides.size() - 1; i >= 0; --i) {
            if (m_asideThere[i] && m_full.last() && count > m_slots.size() &&
                m_folder.removeFile(m_asides[i]))
                --count;
        }
    }

    // Puts back what can be put back without renaming over a file, and raises the
    // destination's error naming where the rest is.
    [[noreturn]] void fail()
    {
        QString detail = m_folder.lastError();
        m_folder.removeFile(m_part);
        QStringList left;
        QString reason;
        for (auto it = m_moves.rbegin(); it != m_moves.rend(); ++it) {
            if (left.isEmpty()) {
                const Result there = m_folder.findFile(it->first);
                if (there == Result::Absent &&
                    m_folder.moveFile(it->second, it->first) == Result::Done)
                    continue;
                // Taken, as when a move reported as failed was carried out after all.
                if (there == Result::Done)
                    reason = QStringLiteral("「%1」が既にあるため").arg(it->first);
            }
            left << QStringLiteral("元の「%1」は「%2」").arg(it->first, it->second);
        }
        if (!left.isEmpty())
            detail += QStringLiteral(
                          " （%1元に戻せませんでした: %2にあります。次回のバックアップで整えます）")
                          .arg(reason, left.join(QStringLiteral("、")));
        raiseStepError(m_folder.failureText(), detail);
    }

private:
    bool exists(const QString &name)
    {
        const Result result = m_folder.findFile(name);
        if (result == Result::Failed)
            fail();
        return result == Result::Done;
    }

    // Moves from to to; a missing from is skipped (Absent), any other refusal fails.
    Result move(const QString &from, const QString &to)
    {
        const Result result = m_folder.moveFile(from, to);
        if (result == Result::Failed)
            fail();
        if (result == Result::Done)
            m_moves.emplace_back(from, to);
        return result;
    }

    // Every slot is full here: an aside file still there is surplus (its slot holds an
    // archive, and G archives remain beside the new one already stored as part).
    void moveOldestAside()
    {
        if (m_asideThere.first()) {
            if (!m_folder.removeFile(m_asides.first()))
                fail();
            m_asideThere.first() = false;
        }
        m_asideThere.first() = move(m_slots.last(), m_asides.first()) == Result::Done;
        m_full.last() = false;
    }

    GenerationFolder &m_folder;
    QString m_part;
    QStringList m_slots;      // generation 1..G, or F alone
    QStringList m_asides;     // of the oldest slot: this version's name, the older versions'
    QList<bool> m_full;       // per slot
    QList<bool> m_asideThere; // per aside name
    std::vector<std::pair<QString, QString>> m_moves;
};

} // namespace

QString sizeMismatchText(qint64 stored, qint64 expected)
{
    return QStringLiteral("転送したファイルのサイズ %1 バイトが元のファイルのサイズ %2 "
                          "バイトと一致しません。")
        .arg(stored)
        .arg(expected);
}

QString storeRotatePublish(GenerationFolder &folder, const QString &fileName, int generations,
                           qint64 archiveSize)
{
    const QString part = partName(fileName, generations);

    // A ".part" of a run that was cut short is no generation.
    folder.removeFile(part);
    try {
        // A server may answer "stored" for a file it cut short or padded; such a copy must
        // never take a generation's place.
        const qint64 stored = folder.storePart(part);
        if (stored != archiveSize)
            raiseStepError(folder.failureText(), sizeMismatchText(stored, archiveSize));
    } catch (...) {
        folder.removeFile(part);
        throw;
    }

    Publication run(folder, fileName, generations);
    run.survey();
    run.rotate();
    run.publish();
    run.removeSurplus();
    return finalName(fileName, generations);
}

QString storeRotatePublish(GenerationFolder &folder, const TransferContext &ctx)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(ctx.archivePath).constData(), &st) != 0)
        raiseStepError(folder.failureText(),
                       platform::systemErrorText(errno) + QStringLiteral(": ") + ctx.archivePath);
    return storeRotatePublish(folder, ctx.archiveFileName, ctx.generations, st.st_size);
}

} // namespace norvex::service
