#pragma once

#include <QByteArray>
#include <QtEndian>

// SSH wire encoding (big-endian integers, length-prefixed strings), shared by the SFTP
// packets and the PuTTY key blobs.
namespace norvex::transfer::sshwire {

inline void putU32(QByteArray &b, quint32 v)
{
    char raw[4];
    qToBigEndian(v, raw);
    b.append(raw, 4);
}

inline void putU64(QByteArray &b, quint64 v)
{
    char raw[8];
    qToBigEndian(v, raw);
    b.append(raw, 8);
}

inline void putString(QByteArray &b, const QByteArray &s)
{
    putU32(b, quint32(s.size()));
    b.append(s);
}

// Reads wire values from a buffer; any short read clears ok() and yields zero or empty.
class Reader
{
public:
    explicit Reader(const QByteArray &data) : m_data(data) {}
    quint32 u32()
    {
        if (m_pos + 4 > m_data.size()) {
            m_ok = false;
            return 0;
        }
        quint32 v = qFromBigEndian<quint32>(m_data.constData() + m_pos);
        m_pos += 4;
        return v;
    }
    quint64 u64()
    {
        quint64 hi = u32();
        return (hi << 32) | u32();
    }
    QByteArray string()
    {
        quint32 n = u32();
        if (!m_ok || n > quint32(m_data.size() - m_pos)) {
            m_ok = false;
            return {};
        }
        QByteArray s = m_data.mid(m_pos, n);
        m_pos += n;
        return s;
    }
    bool atEnd() const { return m_pos >= m_data.size(); }
    bool ok() const { return m_ok; }

private:
    const QByteArray &m_data;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

} // namespace norvex::transfer::sshwire
