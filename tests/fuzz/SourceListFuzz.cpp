// Source-list splitter: any text splits without a crash, and the paths it gives encode to a
// text that splits into the same paths. The other field readers get the same text: they
// either convert it or raise EConvertError.
#include "shared/Exception.h"
#include "shared/JobTable.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QStringList paths = norvex::shared::decodeSourceList(text);
    const QString encoded = norvex::shared::encodeSourceList(paths);
    if (norvex::shared::decodeSourceList(encoded) != paths)
        abort();
    // Round trip of arbitrary path lists too: split the input at NUL bytes.
    QStringList list = text.split(QChar(0));
    for (QString &p : list)
        p.remove(QChar(0));
    if (norvex::shared::decodeSourceList(norvex::shared::encodeSourceList(list)) != list &&
        !(list.size() == 1 && list[0].isEmpty() && text.isEmpty()))
        abort();
    using namespace norvex::shared;
    try {
        readOnOff(text);
    } catch (const EConvertError &) {
    }
    try {
        readInteger(QStringLiteral("port"), text);
    } catch (const EConvertError &) {
    }
    try {
        const QDateTime t = readDateTime(text);
        if (!t.isValid() || readDateTime(formatDateTime(t)) != t)
            abort();
        const QDateTime next = nextRunTime(t, 1 + int(size % 23), size % 2 ? 'h' : 'd', t);
        if (next <= t.addSecs(-3600))
            abort();
    } catch (const EConvertError &) {
    }
    return 0;
}
