#pragma once

// File names on Linux are bytes; archive formats want Unicode. These helpers tell valid
// UTF-8 from other bytes and give 7z names a reversible form.
#include <QByteArray>
#include <QString>
#include <string_view>

namespace norvex::archivers {

// The length (1 to 4) of the valid UTF-8 sequence at data[0] and its code point; 0 when
// the bytes there are not valid UTF-8 (overlong forms, surrogates and values above
// U+10FFFF included).
int utf8Sequence(const unsigned char *data, std::size_t left, char32_t &codePoint);

bool isValidUtf8(std::string_view bytes);

// The 7z name of a file name: valid UTF-8 decoded; every byte that is not, stored as
// U+EF00 + byte (U+EF80..U+EFFF). The bytes of a valid character in that range are
// stored the same way, so the mapping is one to one. 7-Zip uses the same escape and
// restores the original bytes when it extracts on Linux.
QString sevenZipName(std::string_view bytes);

// The file name's bytes back from a name the engine read (7z, or ZIP through the engine):
// UTF-16 (surrogate pairs joined) to UTF-8, each escape U+EF80..U+EFFF to its byte.
QByteArray nameBytes(const QString &sevenZipName);

} // namespace norvex::archivers
