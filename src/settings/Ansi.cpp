#include "settings/Ansi.h"

#include <QList>

#include <algorithm>
#include <array>
#include <cstring>

namespace ansi {
namespace {

// 0x80..0x9F. The five codes Windows-1252 leaves unassigned keep their own
// value, as Windows decodes them, so every byte survives a round trip.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char FromCodePoint(uint cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
    for (size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == cp) return static_cast<char>(0x80 + i);
    }
    return '?';
}

} // namespace

std::string FromUnicode(const QString& text)
{
    std::string out;
    out.reserve(static_cast<size_t>(text.size()));
    for (uint cp : text.toUcs4()) out.push_back(FromCodePoint(cp));
    return out;
}

QString ToUnicode(const std::string& bytes)
{
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char c : bytes) {
        if (c >= 0x80 && c < 0xA0) {
            out.append(QChar(kHighControls[c - 0x80]));
        } else {
            out.append(QChar(char16_t(c)));
        }
    }
    return out;
}

std::string FromField(const unsigned char* field, size_t fieldSize, size_t maxLen)
{
    const void* nul = std::memchr(field, 0, fieldSize);
    const size_t len = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - field) : fieldSize;
    return std::string(reinterpret_cast<const char*>(field), std::min(len, maxLen));
}

std::string Bounded(std::string text, size_t maxLen)
{
    // A NUL would end the text early in the loop file and in C-string readers.
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    if (text.size() > maxLen) text.resize(maxLen);
    return text;
}

} // namespace ansi
