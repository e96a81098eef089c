#pragma once

// What a job leaves out of its archive: glob patterns matched against the path of each item
// below a source folder, as the archive step and the progress count walk the sources.
//
// - `*` any run of characters, `?` one character, `[abc]`, `[a-z]`, `[!a-z]` or `[^a-z]`
//   one character of (or not of) the set; none of them matches '/'. `\` takes the next
//   character literally.
// - `**` as a whole component matches any number of folders (none included); a final `/**`
//   matches everything inside a folder, not the folder itself.
// - A pattern ending in '/' matches folders only.
// - A pattern holding another '/' (a leading one included) is anchored: it is matched
//   against the whole path below the source folder. Any other pattern is matched against
//   the name of an item at any depth.
// - Spaces at either end of a pattern are ignored unless escaped (`\ `).
// - A name that is not UTF-8 counts each byte outside a valid character as one character
//   of its own (the 7z names' escape, U+EF00 + byte): `?`, `*` and sets match it, no letter
//   typed in a pattern does.
//
// A source itself is never left out, whatever the patterns: it was chosen by name. Walkers
// ask for every item before they enter or store it, so a folder left out is never read and
// nothing below it is asked about.

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <string>
#include <string_view>
#include <vector>

namespace norvex::shared {

// The job table column of the patterns, added after the 19 like the FTP fields: the
// patterns encoded as a source list (quoted where they hold a space or a quotation mark).
// Missing or empty: nothing is left out.
inline constexpr char ExcludeField[] = "exclude";

// The patterns of the field's text; blank ones are dropped. No patterns encode as "".
QStringList decodeExcludes(const QString &text);
QString encodeExcludes(const QStringList &patterns);

// What was left out: each item counts once, a folder's contents are not counted.
struct ExcludeCounts
{
    qint64 files = 0; // files and links
    qint64 folders = 0;
    bool any() const { return files > 0 || folders > 0; }
};

class ExcludePatterns
{
public:
    ExcludePatterns() = default;
    // Malformed patterns (see problem) are not used; a walk must not fail on one.
    explicit ExcludePatterns(const QStringList &patterns);

    // Why a pattern cannot be used (a Japanese sentence), or empty when it can.
    static QString problem(const QString &pattern);

    bool isEmpty() const { return m_patterns.empty(); }
    // below: the item's path under its source folder, '/' between components, no leading
    // '/', the file system's bytes.
    bool excludes(std::string_view below, bool folder) const;

private:
    struct Token
    {
        enum Kind { Char, One, Star, Set } kind;
        char32_t c = 0;
        bool negated = false;
        std::vector<std::pair<char32_t, char32_t>> ranges;
    };
    using Segment = std::vector<Token>;
    struct Pattern
    {
        // An empty segment stands for `**`.
        std::vector<Segment> segments;
        bool anchored = false;
        bool foldersOnly = false;
    };

    static bool parse(const QString &text, Pattern &out, QString *problem);
    static bool matchSegment(const Segment &segment, const std::u32string &name);
    static bool matchAnchored(const Pattern &pattern, const std::vector<std::u32string> &parts);

    std::vector<Pattern> m_patterns;
    bool m_anyAnchored = false;
};

} // namespace norvex::shared
