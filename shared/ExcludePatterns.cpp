#include "shared/ExcludePatterns.h"

#include "shared/JobTable.h"

namespace norvex::shared {

namespace {

// The file system's bytes as characters: valid UTF-8 sequences as their code points, any
// other byte as U+EF00 + byte, as 7z names store it.
std::u32string decodeName(std::string_view bytes)
{
    std::u32string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        char32_t c = 0;
        char32_t least = 0;
        if (b < 0x80) {
            out += char32_t(b);
            ++i;
            continue;
        }
        if ((b & 0xE0) == 0xC0) {
            length = 2, c = b & 0x1F, least = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3, c = b & 0x0F, least = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4, c = b & 0x07, least = 0x10000;
        }
        bool valid = length > 0 && i + length <= bytes.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto t = static_cast<unsigned char>(bytes[i + k]);
            valid = (t & 0xC0) == 0x80;
            c = (c << 6) | (t & 0x3F);
        }
        valid = valid && c >= least && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        if (valid) {
            out += c;
            i += length;
        } else {
            out += char32_t(0xEF00 + b);
            ++i;
        }
    }
    return out;
}

bool isBlank(char32_t c)
{
    return c == U' ' || c == U'\t' || c == U'\u3000';
}

} // namespace

QStringList decodeExcludes(const QString &text)
{
    QStringList patterns;
    for (const QString &pattern : decodeSourceList(text))
        if (!pattern.trimmed().isEmpty())
            patterns << pattern;
    return patterns;
}

QString encodeExcludes(const QStringList &patterns)
{
    return patterns.isEmpty() ? QString() : encodeSourceList(patterns);
}

ExcludePatterns::ExcludePatterns(const QStringList &patterns)
{
    for (const QString &text : patterns) {
        Pattern pattern;
        if (!parse(text, pattern, nullptr))
            continue;
        m_anyAnchored = m_anyAnchored || pattern.anchored;
        m_patterns.push_back(std::move(pattern));
    }
}

QString ExcludePatterns::problem(const QString &pattern)
{
    Pattern parsed;
    QString text;
    parse(pattern, parsed, &text);
    return text;
}

bool ExcludePatterns::parse(const QString &text, Pattern &out, QString *problem)
{
    const auto fail = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return false;
    };
    const QList<uint> ucs = text.toUcs4();
    std::u32string chars(ucs.begin(), ucs.end());
    std::size_t begin = 0;
    while (begin < chars.size() && isBlank(chars[begin]))
        ++begin;
    std::size_t end = chars.size();
    // A trailing blank stays when a backslash escapes it (an odd run of backslashes).
    while (end > begin && isBlank(chars[end - 1])) {
        std::size_t slashes = 0;
        while (end - 1 - slashes > begin && chars[end - 2 - slashes] == U'\\')
            ++slashes;
        if (slashes % 2 == 1)
            break;
        --end;
    }
    chars = chars.substr(begin, end - begin);
    if (chars.empty())
        return fail(QStringLiteral("パターンが空です。"));
    while (!chars.empty() && chars.back() == U'/') {
        out.foldersOnly = true;
        chars.pop_back();
    }
    out.anchored = chars.find(U'/') != std::u32string::npos;

    std::size_t i = 0;
    Segment segment;
    bool started = false;
    const auto closeSegment = [&] {
        if (started) {
            const bool globStar =
                segment.size() == 1 && segment[0].kind == Token::Star && segment[0].c == U'*';
            out.segments.push_back(globStar ? Segment() : std::move(segment));
        }
        segment.clear();
        started = false;
    };
    while (i < chars.size()) {
        const char32_t c = chars[i];
        if (c == U'/') {
            closeSegment();
            ++i;
            continue;
        }
        started = true;
        if (c == U'\\') {
            if (i + 1 >= chars.size() || chars[i + 1] == U'/')
                return fail(QStringLiteral("「\\」の後に文字がありません。"));
            segment.push_back({Token::Char, chars[i + 1], false, {}});
            i += 2;
        } else if (c == U'*') {
            std::size_t run = 0;
            while (i < chars.size() && chars[i] == U'*')
                ++i, ++run;
            // c marks a "**" so that a component of only "**" can be told apart.
            if (segment.empty() || segment.back().kind != Token::Star)
                segment.push_back({Token::Star, run >= 2 ? U'*' : U'\0', false, {}});
            else
                segment.back().c = 0;
        } else if (c == U'?') {
            segment.push_back({Token::One, 0, false, {}});
            ++i;
        } else if (c == U'[') {
            Token set{Token::Set, 0, false, {}};
            std::size_t j = i + 1;
            if (j < chars.size() && (chars[j] == U'!' || chars[j] == U'^'))
                set.negated = true, ++j;
            bool closed = false;
            bool first = true;
            while (j < chars.size()) {
                char32_t low = chars[j];
                if (low == U']' && !first) {
                    closed = true;
                    ++j;
                    break;
                }
                if (low == U'/')
                    break;
                first = false;
                if (low == U'\\' && j + 1 < chars.size())
                    low = chars[++j];
                ++j;
                char32_t high = low;
                if (j + 1 < chars.size() && chars[j] == U'-' && chars[j + 1] != U']') {
                    high = chars[j + 1];
                    if (high == U'\\' && j + 2 < chars.size())
                        high = chars[++j + 1];
                    j += 2;
                    if (high < low)
                        return fail(
                            QStringLiteral("「[」と「]」の間の範囲 %1-%2 が逆順です。")
                                .arg(QString::fromUcs4(&low, 1), QString::fromUcs4(&high, 1)));
                }
                set.ranges.emplace_back(low, high);
            }
            if (!closed)
                return fail(QStringLiteral("「[」に対応する「]」がありません。"));
            segment.push_back(std::move(set));
            i = j;
        } else {
            segment.push_back({Token::Char, c, false, {}});
            ++i;
        }
    }
    closeSegment();
    if (out.segments.empty())
        return fail(QStringLiteral("「/」だけのパターンは使えません。"));
    // One component of "**" alone is any name.
    if (!out.anchored && out.segments[0].empty())
        out.segments[0] = Segment{{Token::Star, 0, false, {}}};
    if (problem)
        problem->clear();
    return true;
}

bool ExcludePatterns::matchSegment(const Segment &segment, const std::u32string &name)
{
    // Greedy with one backtrack point: the last star seen.
    std::size_t t = 0, n = 0;
    std::size_t starToken = std::string::npos, starName = 0;
    const auto accepts = [](const Token &token, char32_t c) {
        switch (token.kind) {
        case Token::Char:
            return token.c == c;
        case Token::One:
            return true;
        case Token::Set: {
            bool in = false;
            for (const auto &[low, high] : token.ranges)
                in = in || (c >= low && c <= high);
            return in != token.negated;
        }
        case Token::Star:
            break;
        }
        return false;
    };
    while (n < name.size()) {
        if (t < segment.size() && segment[t].kind == Token::Star) {
            starToken = t++;
            starName = n;
        } else if (t < segment.size() && accepts(segment[t], name[n])) {
            ++t, ++n;
        } else if (starToken != std::string::npos) {
            t = starToken + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (t < segment.size() && segment[t].kind == Token::Star)
        ++t;
    return t == segment.size();
}

bool ExcludePatterns::matchAnchored(const Pattern &pattern,
                                    const std::vector<std::u32string> &parts)
{
    // matches[i][j]: segments from i on match parts from j on.
    const std::size_t s = pattern.segments.size(), p = parts.size();
    std::vector<std::vector<char>> matches(s + 1, std::vector<char>(p + 1, 0));
    matches[s][p] = 1;
    for (std::size_t i = s; i-- > 0;) {
        const Segment &segment = pattern.segments[i];
        for (std::size_t j = p + 1; j-- > 0;) {
            if (segment.empty()) {
                // A final "**" is what lies inside: one component at least.
                matches[i][j] =
                    i + 1 == s ? j < p : matches[i + 1][j] || (j < p && matches[i][j + 1]);
            } else {
                matches[i][j] = j < p && matches[i + 1][j + 1] && matchSegment(segment, parts[j]);
            }
        }
    }
    return matches[0][0] != 0;
}

bool ExcludePatterns::excludes(std::string_view below, bool folder) const
{
    if (m_patterns.empty() || below.empty())
        return false;
    const std::size_t slash = below.rfind('/');
    const std::u32string name =
        decodeName(slash == std::string_view::npos ? below : below.substr(slash + 1));
    std::vector<std::u32string> parts;
    if (m_anyAnchored) {
        std::size_t from = 0;
        for (;;) {
            const std::size_t next = below.find('/', from);
            const std::string_view part = below.substr(from, next - from);
            if (!part.empty())
                parts.push_back(decodeName(part));
            if (next == std::string_view::npos)
                break;
            from = next + 1;
        }
    }
    for (const Pattern &pattern : m_patterns) {
        if (pattern.foldersOnly && !folder)
            continue;
        if (pattern.anchored ? matchAnchored(pattern, parts)
                             : matchSegment(pattern.segments[0], name))
            return true;
    }
    return false;
}

} // namespace norvex::shared
