#include "serial/CodePage437.h"

#include <algorithm>
#include <array>
#include <utility>

namespace CodePage437 {
namespace {

constexpr std::array<char16_t, 128> HighHalf = {
    u'\u00C7', u'\u00FC', u'\u00E9', u'\u00E2', u'\u00E4', u'\u00E0', u'\u00E5', u'\u00E7',
    u'\u00EA', u'\u00EB', u'\u00E8', u'\u00EF', u'\u00EE', u'\u00EC', u'\u00C4', u'\u00C5',
    u'\u00C9', u'\u00E6', u'\u00C6', u'\u00F4', u'\u00F6', u'\u00F2', u'\u00FB', u'\u00F9',
    u'\u00FF', u'\u00D6', u'\u00DC', u'\u00A2', u'\u00A3', u'\u00A5', u'\u20A7', u'\u0192',
    u'\u00E1', u'\u00ED', u'\u00F3', u'\u00FA', u'\u00F1', u'\u00D1', u'\u00AA', u'\u00BA',
    u'\u00BF', u'\u2310', u'\u00AC', u'\u00BD', u'\u00BC', u'\u00A1', u'\u00AB', u'\u00BB',
    u'\u2591', u'\u2592', u'\u2593', u'\u2502', u'\u2524', u'\u2561', u'\u2562', u'\u2556',
    u'\u2555', u'\u2563', u'\u2551', u'\u2557', u'\u255D', u'\u255C', u'\u255B', u'\u2510',
    u'\u2514', u'\u2534', u'\u252C', u'\u251C', u'\u2500', u'\u253C', u'\u255E', u'\u255F',
    u'\u255A', u'\u2554', u'\u2569', u'\u2566', u'\u2560', u'\u2550', u'\u256C', u'\u2567',
    u'\u2568', u'\u2564', u'\u2565', u'\u2559', u'\u2558', u'\u2552', u'\u2553', u'\u256B',
    u'\u256A', u'\u2518', u'\u250C', u'\u2588', u'\u2584', u'\u258C', u'\u2590', u'\u2580',
    u'\u03B1', u'\u00DF', u'\u0393', u'\u03C0', u'\u03A3', u'\u03C3', u'\u00B5', u'\u03C4',
    u'\u03A6', u'\u0398', u'\u03A9', u'\u03B4', u'\u221E', u'\u03C6', u'\u03B5', u'\u2229',
    u'\u2261', u'\u00B1', u'\u2265', u'\u2264', u'\u2320', u'\u2321', u'\u00F7', u'\u2248',
    u'\u00B0', u'\u2219', u'\u00B7', u'\u221A', u'\u207F', u'\u00B2', u'\u25A0', u'\u00A0',
};

constexpr char16_t House = u'\u2302';
constexpr char Unmappable = '?';

using ReverseEntry = std::pair<char16_t, char>;

// The non-ASCII characters sorted by code point, for a binary search from character to byte.
const std::array<ReverseEntry, 129>& reverseTable() {
    static const std::array<ReverseEntry, 129> table = [] {
        std::array<ReverseEntry, 129> entries{};
        for (std::size_t i = 0; i < HighHalf.size(); ++i)
            entries[i] = {HighHalf[i], static_cast<char>(0x80 + i)};
        entries[HighHalf.size()] = {House, '\x7f'};
        std::sort(entries.begin(), entries.end());
        return entries;
    }();
    return table;
}

char encode(char16_t unit) {
    if (unit < 0x80)
        return static_cast<char>(unit);
    const auto& table = reverseTable();
    const auto found =
        std::lower_bound(table.begin(), table.end(), unit,
                         [](const ReverseEntry& e, char16_t u) { return e.first < u; });
    return found != table.end() && found->first == unit ? found->second : Unmappable;
}

} // namespace

char16_t toUnicode(quint8 byte) {
    if (byte >= 0x80)
        return HighHalf[byte - 0x80];
    return byte == 0x7f ? House : char16_t(byte);
}

QString toUnicode(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size());
    for (const char byte : bytes)
        text.append(QChar(toUnicode(static_cast<quint8>(byte))));
    return text;
}

QByteArray fromUnicode(QStringView text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        // A character outside the basic plane is one unmappable character, not two.
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        bytes.append(c.isSurrogate() ? Unmappable : encode(c.unicode()));
    }
    return bytes;
}

} // namespace CodePage437
