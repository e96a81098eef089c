#pragma once

// A destination folder whose run is cut short after a number of renames, around a real
// folder: the connection drops (every later call fails, nothing more is done), the next
// rename is refused, or the next rename is carried out and still reported as failed (as
// an FTP server that answers "550 Rename failed." to an RNTO it performed). Counts
// renames only; with Dropped, the calls after the cut fail too.

#include "service/Destination.h"

namespace norvex::fakes {

class CutShortFolder : public service::GenerationFolder
{
public:
    enum class Cut { Dropped, Refused, DoneButFailed };

    CutShortFolder(service::GenerationFolder &inner, int renames, Cut cut)
        : m_inner(inner), m_left(renames), m_cut(cut)
    {
    }

    qint64 storePart(const QString &partName) override { return m_inner.storePart(partName); }
    Result findFile(const QString &name) override
    {
        return dropped() ? Result::Failed : m_inner.findFile(name);
    }
    bool removeFile(const QString &name) override { return !dropped() && m_inner.removeFile(name); }
    Result moveFile(const QString &from, const QString &to) override
    {
        return rename([&] { return m_inner.moveFile(from, to); });
    }
    // No atomic replace, as on FTP: the publish takes the longer way, with more points to
    // be cut at.
    Result replaceFile(const QString &, const QString &) override { return Result::Unsupported; }
    QString lastError() const override { return QStringLiteral("(cut short)"); }
    QString failureText() const override { return m_inner.failureText(); }

private:
    bool dropped() const { return m_cut == Cut::Dropped && m_left < 0; }

    template <typename Rename>
    Result rename(Rename doIt)
    {
        if (dropped())
            return Result::Failed;
        if (m_left-- != 0)
            return doIt(); // before the cut, or after a single fault
        if (m_cut != Cut::DoneButFailed)
            return Result::Failed;
        const Result done = doIt();
        return done == Result::Done ? Result::Failed : done;
    }

    service::GenerationFolder &m_inner;
    int m_left;
    Cut m_cut;
};

} // namespace norvex::fakes
