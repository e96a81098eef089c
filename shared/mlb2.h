#pragma once

#include <QChar>
#include <QString>
#include <QStringList>
#include <vector>

namespace norvex::shared {

// A table of named text fields read from and written to a delimited text file whose first
// line names the fields. Values are QStrings in memory and UTF-8 bytes on disk; the reader
// works on bytes, so multi-byte characters never match the separator, quote, CR or LF.
//
// Positions and record numbers are 1-based. Out-of-range positions, record numbers and
// unknown field names give false or the empty text and change nothing (cursor moves still
// set Bof and Eof).
class TMlb2
{
public:
    TMlb2();

    // Replaces fields and records by the file's content. False, table unchanged, when the
    // file cannot be opened.
    bool LoadFromFile(const QString &path);
    // Writes the whole table atomically (temporary file in the same folder, fsync, rename,
    // fsync of the folder); the target keeps its permission bits, a new file gets 0600.
    // False, file unchanged, when it cannot be written or when the table has records but
    // no fields (such a file would not read back).
    bool SaveToFile(const QString &path) const;
    // Why the last LoadFromFile or SaveToFile that returned false failed: the path and the
    // system's reason.
    QString LastError() const { return m_lastError; }

    // The same from and to bytes in memory (the file's content).
    void LoadFromData(const QByteArray &data);
    QByteArray SaveToData() const;

    void ClearTable();
    void ClearRecords();

    bool AddField(const QString &name);
    int FieldCount() const;
    int RecordCount() const;
    QString FieldName(int position) const;
    QString FieldType(int position) const;
    bool SetFieldType(int position, const QString &type);

    bool First();
    bool Last();
    bool Next();
    bool Prior();
    bool GoToRecord(int recordNumber);
    bool Bof() const { return m_bof; }
    bool Eof() const { return m_eof; }
    // 0-based index of the current record, -1 when there is none.
    int CurrentIndex() const { return m_current; }

    bool AppendRecord();
    bool DeleteRecord(int recordNumber);

    QString FieldByName(const QString &fieldName) const;
    bool SetFieldByName(const QString &fieldName, const QString &value);
    QString FieldByIndex(int position) const;
    bool SetFieldByIndex(int position, const QString &value);
    // Value of any record without moving the cursor; empty when out of range.
    QString Cell(int position, int recordNumber) const;
    // 1-based position of a field, 0 when there is none (case-insensitive).
    int FieldPosition(const QString &fieldName) const;

    // Operators "=", "<", ">", "<=", ">=" (code-point order, equal to UTF-8 byte order);
    // any other operator finds nothing.
    bool Find(const QString &fieldName, const QString &op, const QString &value);
    bool Sort(const QString &fieldName, bool ascending);
    // The order Find and Sort use: <0, 0 or >0.
    static int CompareValues(const QString &a, const QString &b);

    void CopyFrom(const TMlb2 &other);
    bool AppendRecords(const TMlb2 &other);

    // Separator and QuoteChar must be ASCII; other characters are ignored. A null
    // QuoteChar (QChar()) switches quoting off: reading takes quotation marks as ordinary
    // bytes and writing writes every value unquoted (for reading files that are written
    // unquoted, such as the event log).
    QChar Separator() const { return m_separator; }
    void SetSeparator(QChar separator);
    QChar QuoteChar() const { return m_quote; }
    void SetQuoteChar(QChar quote);

    static const QString StringType; // "STRING"
    static const QString FloatType;  // "FLOAT"

private:
    void setCursor(int index);
    void parse(const QByteArray &data);
    QByteArray serialize() const;

    QStringList m_names;
    QStringList m_types;
    std::vector<QStringList> m_records;
    int m_current = -1;
    bool m_bof = true;
    bool m_eof = true;
    bool m_placedByFirst = false;
    QChar m_separator = QLatin1Char(';');
    QChar m_quote = QLatin1Char('"');
    mutable QString m_lastError;
};

} // namespace norvex::shared
