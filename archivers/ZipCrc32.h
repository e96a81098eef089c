#pragma once

#include <cstddef>
#include <cstdint>

namespace norvex::archivers {

// The ZIP CRC-32 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final
// complement) from the writer's own tables. Eight tables let the loop take eight bytes
// per step; the result is the one the single byte-wise table gives.
class ZipCrc32
{
public:
    void update(const void *data, std::size_t length);
    std::uint32_t value() const { return ~m_state; }
    void reset() { m_state = 0xFFFFFFFFu; }

    static std::uint32_t of(const void *data, std::size_t length);

private:
    std::uint32_t m_state = 0xFFFFFFFFu;
};

} // namespace norvex::archivers
