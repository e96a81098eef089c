#include "archivers/ZipCrc32.h"

#include <array>
#include <bit>
#include <cstring>

namespace norvex::archivers {

namespace {

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables makeTables()
{
    Tables t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    // t[k][n]: the CRC state after n is followed by k zero bytes.
    for (std::size_t k = 1; k < 8; ++k)
        for (std::uint32_t n = 0; n < 256; ++n)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

constexpr Tables tables = makeTables();

} // namespace

void ZipCrc32::update(const void *data, std::size_t length)
{
    const auto *p = static_cast<const unsigned char *>(data);
    std::uint32_t c = m_state;
    while (length >= 8) {
        std::uint32_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        if constexpr (std::endian::native == std::endian::big) {
            lo = __builtin_bswap32(lo);
            hi = __builtin_bswap32(hi);
        }
        lo ^= c;
        c = tables[7][lo & 0xFF] ^ tables[6][(lo >> 8) & 0xFF] ^ tables[5][(lo >> 16) & 0xFF] ^
            tables[4][lo >> 24] ^ tables[3][hi & 0xFF] ^ tables[2][(hi >> 8) & 0xFF] ^
            tables[1][(hi >> 16) & 0xFF] ^ tables[0][hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length--)
        c = tables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    m_state = c;
}

std::uint32_t ZipCrc32::of(const void *data, std::size_t length)
{
    ZipCrc32 crc;
    crc.update(data, length);
    return crc.value();
}

} // namespace norvex::archivers
