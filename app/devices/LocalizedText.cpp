#include "app/devices/LocalizedText.h"

#include <locale>
#include <stdexcept>
#include <vector>

namespace velunto::LocalizedText {

namespace {

std::u32string decodeUTF8(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const int length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) {
            out.push_back(U'\uFFFD');
            ++i;
            continue;
        }
        char32_t cp = length == 1 ? c : c & (0x7Fu >> length);
        for (int k = 1; k < length; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        out.push_back(cp);
        i += static_cast<std::size_t>(length);
    }
    return out;
}

const std::ctype<wchar_t>& userCType() {
    static const std::locale locale = [] {
        for (const char* name : {"", "C.UTF-8", "en_US.UTF-8"}) {
            try {
                std::locale candidate(name);
                if (std::use_facet<std::ctype<wchar_t>>(candidate).tolower(L'\u00C4') == L'\u00E4')
                    return candidate;
            } catch (const std::runtime_error&) {
            }
        }
        return std::locale::classic();
    }();
    return std::use_facet<std::ctype<wchar_t>>(locale);
}

// The base letters of folded Latin letters with diacritics; ß stands for "ss".
std::u32string baseLetters(char32_t c) {
    static const std::u32string_view from = U"àáâãäåçèéêëìíîïðñòóôõöøùúûüýÿāăąćčďđēėęěğīįıłńňōőřśşšťūůűųźżž";
    static const std::u32string_view to = U"aaaaaaceeeeiiiidnoooooouuuuyyaaaccddeeeegiiilnnoorssstuuuuzzz";
    if (c == U'ß')
        return U"ss";
    if (c == U'æ')
        return U"ae";
    if (c == U'œ')
        return U"oe";
    const auto at = from.find(c);
    return std::u32string(1, at == std::u32string_view::npos ? c : to[at]);
}

bool isDigit(char32_t c) {
    return c >= U'0' && c <= U'9';
}

// One comparison pass over two folded texts: letters through `letter`, digit runs by value.
template <class Key>
std::weak_ordering comparePass(const std::u32string& a, const std::u32string& b, Key letter) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei]))
                ++ei;
            while (ej < b.size() && isDigit(b[ej]))
                ++ej;
            std::size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == U'0')
                ++si;  // leading zeros do not count
            while (sj + 1 < ej && b[sj] == U'0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj ? std::weak_ordering::less : std::weak_ordering::greater;
            for (; si < ei; ++si, ++sj)
                if (a[si] != b[sj])
                    return a[si] < b[sj] ? std::weak_ordering::less : std::weak_ordering::greater;
            i = ei;
            j = ej;
            continue;
        }
        const auto x = letter(a[i]), y = letter(b[j]);
        if (x != y)
            return x < y ? std::weak_ordering::less : std::weak_ordering::greater;
        ++i;
        ++j;
    }
    if (i < a.size())
        return std::weak_ordering::greater;
    if (j < b.size())
        return std::weak_ordering::less;
    return std::weak_ordering::equivalent;
}

std::u32string base(const std::u32string& folded) {
    std::u32string out;
    for (char32_t c : folded)
        out += baseLetters(c);
    return out;
}

}  // namespace

std::u32string caseFolded(std::string_view text) {
    std::u32string out = decodeUTF8(text);
    const auto& ctype = userCType();
    for (char32_t& c : out)
        c = static_cast<char32_t>(ctype.tolower(static_cast<wchar_t>(c)));
    return out;
}

std::weak_ordering standardCompare(std::string_view a, std::string_view b) {
    const std::u32string fa = caseFolded(a), fb = caseFolded(b);
    const auto same = [](char32_t c) { return c; };
    if (auto order = comparePass(base(fa), base(fb), same); order != 0)
        return order;
    if (auto order = comparePass(fa, fb, same); order != 0)
        return order;
    if (auto order = comparePass(decodeUTF8(a), decodeUTF8(b), same); order != 0)
        return order;
    return a.size() == b.size() ? std::weak_ordering::equivalent
                                : (a.size() < b.size() ? std::weak_ordering::less : std::weak_ordering::greater);
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    return caseFolded(haystack).find(caseFolded(needle)) != std::u32string::npos;
}

}  // namespace velunto::LocalizedText
