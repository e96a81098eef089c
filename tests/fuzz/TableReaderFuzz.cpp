// Table reader: any bytes load without a crash, and a loaded table written back and read
// again is the same table.
#include "shared/mlb2.h"

#include <cstdint>
#include <cstdlib>

using norvex::shared::TMlb2;

static bool sameTable(const TMlb2 &a, const TMlb2 &b)
{
    if (a.FieldCount() != b.FieldCount() || a.RecordCount() != b.RecordCount())
        return false;
    for (int f = 1; f <= a.FieldCount(); ++f) {
        if (a.FieldName(f) != b.FieldName(f))
            return false;
        for (int r = 1; r <= a.RecordCount(); ++r) {
            if (a.Cell(f, r) != b.Cell(f, r))
                return false;
        }
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the settings: job table, log file, quoting off.
    const uint8_t mode = data[0] % 3;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1),
                           static_cast<qsizetype>(size - 1));
    TMlb2 t;
    t.SetSeparator(mode == 0 ? QLatin1Char(',') : QLatin1Char('\t'));
    if (mode == 2)
        t.SetQuoteChar(QChar());
    t.LoadFromData(bytes);
    for (int f = 1; f <= t.FieldCount(); ++f) {
        for (int r = 1; r <= t.RecordCount(); ++r)
            (void)t.Cell(f, r);
    }
    t.First();
    t.Find(t.FieldName(1), QStringLiteral("="), t.FieldByIndex(1));
    if (mode != 2 && t.FieldCount() > 0) {
        TMlb2 back;
        back.SetSeparator(t.Separator());
        back.LoadFromData(t.SaveToData());
        if (!sameTable(t, back))
            abort();
    }
    t.Sort(t.FieldName(t.FieldCount()), mode == 0);
    for (int r = 2; r <= t.RecordCount(); ++r) {
        if (t.FieldCount() > 0 &&
            t.Cell(t.FieldCount(), r - 1).toUcs4() > t.Cell(t.FieldCount(), r).toUcs4() &&
            mode == 0)
            abort();
    }
    return 0;
}
