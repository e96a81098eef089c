#include "shared/mlb2.h"

#include "platform/AtomicFile.h"
#include "platform/FileIo.h"
#include "platform/Paths.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace norvex::shared {

const QString TMlb2::StringType = QStringLiteral("STRING");
const QString TMlb2::FloatType = QStringLiteral("FLOAT");

namespace {

// Code-point order, which is the byte order of the UTF-8 form (QString::compare orders
// UTF-16 units, which puts U+E000..U+FFFF after the surrogate-encoded characters).
int compareCodePoints(const QString &a, const QString &b)
{
    const qsizetype n = qMin(a.size(), b.size());
    const QChar *pa = a.constData();
    const QChar *pb = b.constData();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t x = pa[i].unicode();
        const char16_t y = pb[i].unicode();
        if (x == y)
            continue;
        auto weight = [](char16_t c) -> int {
            if (c >= 0xD800 && c <= 0xDFFF)
                return c + 0x2000; // surrogates sort above the rest of the BMP
            if (c >= 0xE000)
                return c - 0x800;
            return c;
        };
        return weight(x) < weight(y) ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool isAsciiChar(QChar c)
{
    return c.unicode() > 0 && c.unicode() < 0x80;
}

} // namespace

TMlb2::TMlb2() = default;

void TMlb2::SetSeparator(QChar separator)
{
    if (isAsciiChar(separator))
        m_separator = separator;
}

void TMlb2::SetQuoteChar(QChar quote)
{
    if (quote.isNull() || isAsciiChar(quote))
        m_quote = quote;
}

void TMlb2::setCursor(int index)
{
    m_current = index;
    m_bof = m_eof = index < 0;
}

static QString loadError(const QString &path, int code)
{
    return QStringLiteral("cannot read %1: %2").arg(path, platform::systemErrorText(code));
}

bool TMlb2::LoadFromFile(const QString &path)
{
    // Non-blocking open and a regular-file check: a FIFO or device under a table's name
    // (or in the Log folder) must not hang the reader.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        m_lastError = loadError(path, errno);
        return false;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_lastError = loadError(path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        ::close(fd);
        return false;
    }
    QByteArray data;
    data.reserve(static_cast<qsizetype>(st.st_size));
    if (!platform::readAll(fd, data)) {
        m_lastError = loadError(path, errno);
        ::close(fd);
        return false;
    }
    ::close(fd);
    LoadFromData(data);
    return true;
}

void TMlb2::LoadFromData(const QByteArray &data)
{
    ClearTable();
    parse(data);
}

QByteArray TMlb2::SaveToData() const
{
    return serialize();
}

void TMlb2::parse(const QByteArray &data)
{
    const char sep = static_cast<char>(m_separator.unicode());
    const bool quoting = !m_quote.isNull();
    const char quote = quoting ? static_cast<char>(m_quote.unicode()) : '\0';
    const char *p = data.constData();
    const qsizetype size = data.size();

    bool header = true;
    QStringList headerValues;
    int valueIndex = 0; // position of the next value in the current data line
    QByteArray value;
    bool lineStarted = false;

    auto endValue = [&] {
        const QString text = QString::fromUtf8(value);
        value.clear();
        if (header) {
            headerValues.append(text);
        } else {
            if (valueIndex == 0)
                AppendRecord();
            if (valueIndex < m_names.size())
                m_records.back()[valueIndex] = text;
            ++valueIndex;
        }
    };
    auto endLine = [&] {
        if (header) {
            for (const QString &name : std::as_const(headerValues))
                AddField(name);
            headerValues.clear();
            header = false;
        }
        valueIndex = 0;
        lineStarted = false;
    };

    qsizetype i = 0;
    while (i < size) {
        const char b = p[i];
        if (quoting && b == quote) {
            // A quoted stretch: everything up to the closing mark, "" standing for one mark.
            lineStarted = true;
            ++i;
            for (;;) {
                const char *start = p + i;
                const void *hit = memchr(start, quote, static_cast<size_t>(size - i));
                if (!hit) {
                    value.append(start, size - i);
                    i = size;
                    break;
                }
                const qsizetype at = static_cast<const char *>(hit) - p;
                value.append(start, at - i);
                if (at + 1 < size && p[at + 1] == quote) {
                    value.append(quote);
                    i = at + 2;
                    continue;
                }
                i = at + 1;
                break;
            }
            continue;
        }
        if (b == sep) {
            lineStarted = true;
            endValue();
        } else if (b == '\r') {
            endValue();
            endLine();
        } else if (b == '\n') {
            // Skipped wherever it stands outside a quoted stretch.
        } else {
            lineStarted = true;
            // Copy the run of ordinary bytes at once.
            qsizetype j = i + 1;
            while (j < size) {
                const char c = p[j];
                if (c == sep || c == '\r' || c == '\n' || (quoting && c == quote))
                    break;
                ++j;
            }
            value.append(p + i, j - i);
            i = j;
            continue;
        }
        ++i;
    }
    if (lineStarted) {
        endValue();
        endLine();
    }
    if (m_records.empty())
        setCursor(-1);
    else
        setCursor(static_cast<int>(m_records.size()) - 1);
    m_placedByFirst = false;
}

QByteArray TMlb2::serialize() const
{
    const bool quoting = !m_quote.isNull();
    const QByteArray sep = QString(m_separator).toUtf8();
    const QByteArray quote = quoting ? QString(m_quote).toUtf8() : QByteArray();
    const QByteArray doubled = quote + quote;
    QByteArray out;
    auto quoted = [&](const QString &text) {
        QByteArray bytes = text.toUtf8();
        if (!quoting)
            return bytes;
        // Inner quote characters are doubled so the reader gives them back as one.
        bytes.replace(quote, doubled);
        return quote + bytes + quote;
    };
    if (!m_names.isEmpty()) {
        for (int i = 0; i < m_names.size(); ++i) {
            if (i > 0)
                out += sep;
            out += quoted(m_names[i]);
        }
        out += "\r\n";
    }
    for (const QStringList &record : m_records) {
        for (int i = 0; i < record.size(); ++i) {
            if (i > 0)
                out += sep;
            const QString &v = record[i];
            // A FLOAT value goes out bare only when it reads back as written.
            const bool bare = m_types[i] == FloatType && !v.contains(m_separator) &&
                              (!quoting || !v.contains(m_quote)) &&
                              !v.contains(QLatin1Char('\r')) && !v.contains(QLatin1Char('\n'));
            out += bare ? v.toUtf8() : quoted(v);
        }
        out += "\r\n";
    }
    return out;
}

bool TMlb2::SaveToFile(const QString &path) const
{
    // Records without fields would be written as bare line breaks that read back as
    // nothing; refuse instead of writing a file that loses the records.
    if (m_names.isEmpty() && !m_records.empty()) {
        m_lastError = path + QStringLiteral(": the table has records but no field names");
        return false;
    }
    return platform::writeFileAtomically(path, serialize(), 0600, &m_lastError);
}

void TMlb2::ClearTable()
{
    m_names.clear();
    m_types.clear();
    m_records.clear();
    setCursor(-1);
    m_placedByFirst = false;
}

void TMlb2::ClearRecords()
{
    m_records.clear();
    setCursor(-1);
    m_placedByFirst = false;
}

int TMlb2::FieldPosition(const QString &fieldName) const
{
    for (int i = 0; i < m_names.size(); ++i) {
        if (m_names[i].compare(fieldName, Qt::CaseInsensitive) == 0)
            return i + 1;
    }
    return 0;
}

bool TMlb2::AddField(const QString &name)
{
    bool onlySpaces = true;
    for (QChar c : name) {
        if (c != QLatin1Char(' ')) {
            onlySpaces = false;
            break;
        }
    }
    if (onlySpaces || FieldPosition(name) != 0)
        return false;
    m_names.append(name);
    m_types.append(StringType);
    for (QStringList &record : m_records)
        record.append(QString());
    return true;
}

int TMlb2::FieldCount() const
{
    return static_cast<int>(m_names.size());
}

int TMlb2::RecordCount() const
{
    return static_cast<int>(m_records.size());
}

QString TMlb2::FieldName(int position) const
{
    if (position < 1 || position > m_names.size())
        return {};
    return m_names[position - 1];
}

QString TMlb2::FieldType(int position) const
{
    if (position < 1 || position > m_types.size())
        return {};
    return m_types[position - 1];
}

bool TMlb2::SetFieldType(int position, const QString &type)
{
    if (position < 1 || position > m_types.size())
        return false;
    m_types[position - 1] = type;
    return true;
}

bool TMlb2::First()
{
    m_placedByFirst = false;
    if (m_records.empty()) {
        setCursor(-1);
        return false;
    }
    setCursor(0);
    m_placedByFirst = true;
    return true;
}

bool TMlb2::Last()
{
    m_placedByFirst = false;
    if (m_records.empty()) {
        setCursor(-1);
        return false;
    }
    setCursor(RecordCount() - 1);
    return true;
}

bool TMlb2::Next()
{
    m_placedByFirst = false;
    const int n = RecordCount();
    if (n == 0 || m_current >= n - 1) {
        m_eof = true;
        m_bof = n == 0;
        return false;
    }
    // A cursor of -1 (no current record) moves onto the first record.
    m_current = m_current < 0 ? 0 : m_current + 1;
    m_bof = m_eof = false;
    return true;
}

bool TMlb2::Prior()
{
    m_placedByFirst = false;
    const int n = RecordCount();
    if (n == 0 || m_current <= 0) {
        m_bof = true;
        m_eof = n == 0;
        return false;
    }
    m_current = qMin(m_current, n) - 1;
    m_bof = m_eof = false;
    return true;
}

bool TMlb2::GoToRecord(int recordNumber)
{
    m_placedByFirst = false;
    if (recordNumber < 1 || recordNumber > RecordCount()) {
        m_bof = m_eof = true;
        return false;
    }
    m_current = recordNumber - 1;
    m_bof = m_eof = false;
    return true;
}

bool TMlb2::AppendRecord()
{
    QStringList record;
    record.reserve(m_names.size());
    for (int i = 0; i < m_names.size(); ++i)
        record.append(QString());
    m_records.push_back(std::move(record));
    m_current = RecordCount() - 1;
    m_bof = m_eof = false;
    m_placedByFirst = false;
    return true;
}

bool TMlb2::DeleteRecord(int recordNumber)
{
    if (recordNumber < 1 || recordNumber > RecordCount())
        return false;
    m_records.erase(m_records.begin() + (recordNumber - 1));
    return true;
}

QString TMlb2::FieldByIndex(int position) const
{
    if (m_current < 0 || m_current >= RecordCount() || position < 1 || position > m_names.size())
        return {};
    return m_records[m_current][position - 1];
}

bool TMlb2::SetFieldByIndex(int position, const QString &value)
{
    if (m_current < 0 || m_current >= RecordCount() || position < 1 || position > m_names.size())
        return false;
    m_records[m_current][position - 1] = value;
    return true;
}

QString TMlb2::FieldByName(const QString &fieldName) const
{
    return FieldByIndex(FieldPosition(fieldName));
}

bool TMlb2::SetFieldByName(const QString &fieldName, const QString &value)
{
    return SetFieldByIndex(FieldPosition(fieldName), value);
}

QString TMlb2::Cell(int position, int recordNumber) const
{
    if (recordNumber < 1 || recordNumber > RecordCount() || position < 1 ||
        position > m_names.size())
        return {};
    return m_records[recordNumber - 1][position - 1];
}

bool TMlb2::Find(const QString &fieldName, const QString &op, const QString &value)
{
    const bool placedByFirst = m_placedByFirst;
    m_placedByFirst = false;
    if (m_records.empty())
        return false;
    const int position = FieldPosition(fieldName);
    const int remembered = m_current;
    int start = (m_current < 0 || placedByFirst) ? 0 : m_current + 1;
    auto matches = [&](const QString &v) {
        const int c = compareCodePoints(v, value);
        if (op == QLatin1String("="))
            return c == 0;
        if (op == QLatin1String("<"))
            return c < 0;
        if (op == QLatin1String(">"))
            return c > 0;
        if (op == QLatin1String("<="))
            return c <= 0;
        if (op == QLatin1String(">="))
            return c >= 0;
        return false;
    };
    if (position > 0) {
        for (int i = start; i < RecordCount(); ++i) {
            if (matches(m_records[i][position - 1])) {
                m_current = i;
                m_bof = m_eof = false;
                return true;
            }
        }
    }
    GoToRecord(remembered + 1);
    return false;
}

int TMlb2::CompareValues(const QString &a, const QString &b)
{
    return compareCodePoints(a, b);
}

bool TMlb2::Sort(const QString &fieldName, bool ascending)
{
    const int position = FieldPosition(fieldName);
    if (m_records.size() < 2 || position == 0)
        return false;
    const int f = position - 1;
    auto before = [&](const QStringList &r, const QString &pivot) {
        const int c = compareCodePoints(r[f], pivot);
        return ascending ? c < 0 : c > 0;
    };
    auto after = [&](const QStringList &r, const QString &pivot) {
        const int c = compareCodePoints(r[f], pivot);
        return ascending ? c > 0 : c < 0;
    };
    // Quicksort with the middle record as pivot. The smaller side recurses and the larger
    // one loops, so the stack stays shallow whatever the order of the records.
    auto sortRange = [&](auto &self, int low, int high) -> void {
        while (low < high) {
            const QString pivot = m_records[(low + high) / 2][f];
            int i = low;
            int j = high;
            while (i <= j) {
                while (before(m_records[i], pivot))
                    ++i;
                while (after(m_records[j], pivot))
                    --j;
                if (i <= j) {
                    std::swap(m_records[i], m_records[j]);
                    ++i;
                    --j;
                }
            }
            if (j - low < high - i) {
                self(self, low, j);
                low = i;
            } else {
                self(self, i, high);
                high = j;
            }
        }
    };
    sortRange(sortRange, 0, RecordCount() - 1);
    return true;
}

void TMlb2::CopyFrom(const TMlb2 &other)
{
    if (&other == this)
        return;
    ClearTable();
    for (int i = 1; i <= other.FieldCount(); ++i) {
        AddField(other.FieldName(i));
        SetFieldType(FieldCount(), other.FieldType(i));
    }
    for (const QStringList &record : other.m_records) {
        AppendRecord();
        for (int i = 0; i < FieldCount() && i < record.size(); ++i)
            m_records.back()[i] = record[i];
    }
}

bool TMlb2::AppendRecords(const TMlb2 &other)
{
    if (other.FieldCount() != FieldCount())
        return false;
    const std::vector<QStringList> copy = other.m_records; // other may be this table
    for (const QStringList &record : copy)
        m_records.push_back(record);
    return true;
}

} // namespace norvex::shared
