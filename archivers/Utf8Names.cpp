#include "archivers/Utf8Names.h"

namespace norvex::archivers {

namespace {
constexpr char32_t EscapeBase = 0xEF00;
constexpr char32_t EscapeFirst = 0xEF80;
constexpr char32_t EscapeLast = 0xEFFF;
} // namespace

int utf8Sequence(const unsigned char *data, std::size_t left, char32_t &codePoint)
{
    const unsigned char c = data[0];
    if (c < 0x80) {
        codePoint = c;
        return 1;
    }
    int length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        value = c & 0x1F;
        least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        value = c & 0x0F;
        least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        value = c & 0x07;
        least = 0x10000;
    } else {
        return 0;
    }
    if (left < std::size_t(length))
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((data[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (data[i] & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    codePoint = value;
    return length;
}

bool isValidUtf8(std::string_view bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t codePoint = 0;
        const int n = utf8Sequence(p + at, bytes.size() - at, codePoint);
        if (n == 0)
            return false;
        at += std::size_t(n);
    }
    return true;
}

QString sevenZipName(std::string_view bytes)
{
    QString out;
    out.reserve(qsizetype(bytes.size()));
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    for (std::size_t at = 0; at < bytes.size();) {
        char32_t codePoint = 0;
        const int n = utf8Sequence(p + at, bytes.size() - at, codePoint);
        if (n > 0 && (codePoint < EscapeFirst || codePoint > EscapeLast)) {
            const char32_t one[1] = {codePoint};
            out += QString::fromUcs4(one, 1);
            at += std::size_t(n);
            continue;
        }
        // Not UTF-8, or a character that would read as an escape: each byte escaped.
        for (int i = 0; i < (n > 0 ? n : 1); ++i)
            out += QChar(char16_t(EscapeBase + p[at + std::size_t(i)]));
        at += std::size_t(n > 0 ? n : 1);
    }
    return out;
}

QByteArray nameBytes(const QString &sevenZipName)
{
    QByteArray out;
    out.reserve(sevenZipName.size());
    for (qsizetype i = 0; i < sevenZipName.size(); ++i) {
        const char16_t unit = sevenZipName.at(i).unicode();
        if (unit >= EscapeFirst && unit <= EscapeLast) {
            out += char(unit - EscapeBase);
            continue;
        }
        if (QChar::isHighSurrogate(unit) && i + 1 < sevenZipName.size() &&
            sevenZipName.at(i + 1).isLowSurrogate()) {
            out += sevenZipName.mid(i, 2).toUtf8();
            ++i;
            continue;
        }
        out += QString(QChar(unit)).toUtf8();
    }
    return out;
}

} // namespace norvex::archivers
