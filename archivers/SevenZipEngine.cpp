#include "archivers/SevenZipEngine.h"

#include <cstdlib>
#include <new>

namespace norvex::archivers::sevenzip {

BSTR allocBstr(const QString &text)
{
    const qsizetype units = text.size();
    const std::size_t bytes = std::size_t(units) * sizeof(wchar_t);
    // glibc's malloc: the engine frees the block with free(b - 4).
    auto *block = static_cast<unsigned char *>(std::malloc(4 + bytes + sizeof(wchar_t)));
    if (!block)
        throw std::bad_alloc();
    const std::uint32_t byteCount = std::uint32_t(bytes);
    std::memcpy(block, &byteCount, 4);
    auto *chars = reinterpret_cast<wchar_t *>(block + 4);
    const char16_t *src = reinterpret_cast<const char16_t *>(text.utf16());
    // UTF-16 code units, one per wchar_t: the engine stores (UInt16)c, so a character
    // outside the BMP has to arrive as its surrogate pair.
    for (qsizetype i = 0; i < units; ++i)
        chars[i] = wchar_t(src[i]);
    chars[units] = 0;
    return chars;
}

void freeBstr(BSTR b)
{
    if (b)
        std::free(reinterpret_cast<unsigned char *>(b) - 4);
}

} // namespace norvex::archivers::sevenzip
