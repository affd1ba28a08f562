#include "settings/IniFormat.h"


namespace ini {

namespace {

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool IsHexDigit(char16_t ch)
{
    return ch < 0x80 && HexValue(char(ch)) >= 0;
}

QByteArrayView Trimmed(QByteArrayView bytes)
{
    qsizetype begin = 0, end = bytes.size();
    while (begin < end && IsBlank(bytes[begin])) ++begin;
    while (end > begin && IsBlank(bytes[end - 1])) --end;
    return bytes.sliced(begin, end - begin);
}

// One logical line: a value may run on past a line break inside quotes or
// after a backslash. An unquoted ';' starts a comment.
struct Line
{
    qsizetype nStart = 0;
    qsizetype nLength = 0;
    qsizetype nEquals = -1;
};

bool NextLine(QByteArrayView data, qsizetype& pos, Line& line)
{
    const qsizetype n = data.size();
    for (;;) {
        while (pos < n && IsBlank(data[pos])) ++pos;
        if (pos >= n) return false;
        if (data[pos] != ';') break;
        while (pos < n && data[pos] != '\n' && data[pos] != '\r') ++pos;
    }
    line = Line{pos, 0, -1};
    bool bInQuotes = false;
    qsizetype i = pos;
    while (i < n) {
        const char ch = data[i];
        if (ch == '\\') {
            i += 2;
            // A backslash before CR LF (or LF CR) continues the line over both.
            if (i < n) {
                const char first = data[i - 1], second = data[i];
                if ((first == '\r' && second == '\n') || (first == '\n' && second == '\r')) ++i;
            }
            continue;
        }
        if (ch == '"') {
            bInQuotes = !bInQuotes;
        } else if (!bInQuotes) {
            if (ch == '=' && line.nEquals < 0) line.nEquals = i;
            else if (ch == '\n' || ch == '\r' || ch == ';') break;
        }
        ++i;
    }
    pos = std::min(i, n);
    line.nLength = pos - line.nStart;
    return true;
}

// "a//b/" and "/a/b" name the key "a/b", as QSettings looks keys up.
QString NormalizedKey(const QString& key)
{
    QString result;
    result.reserve(key.size());
    for (const QChar ch : key) {
        if (ch == u'/' && (result.isEmpty() || result.back() == u'/')) continue;
        result += ch;
    }
    if (result.endsWith(u'/')) result.chop(1);
    return result;
}

QByteArray StoredForm(const QString& text)
{
    // A leading '@' would read as a type tag.
    return EscapeValue(text.startsWith(u'@') ? QLatin1Char('@') + text : text);
}

} // namespace

QString UnescapeKey(QByteArrayView key)
{
    QString result;
    qsizetype i = 0;
    const qsizetype n = key.size();
    while (i < n) {
        const char ch = key[i];
        if (ch == '\\') {
            result += u'/';
            ++i;
            continue;
        }
        if (ch != '%' || i == n - 1) {
            qsizetype j = i + 1;
            while (j < n && key[j] != '%' && key[j] != '\\') ++j;
            result += QString::fromUtf8(key.sliced(i, j - i));
            i = j;
            continue;
        }
        qsizetype nFirst = i + 1;
        int nDigits = 2;
        if (key[nFirst] == 'U') {
            ++nFirst;
            nDigits = 4;
        }
        unsigned value = 0;
        bool bOk = nFirst + nDigits <= n;
        for (int d = 0; bOk && d < nDigits; ++d) {
            const int digit = HexValue(key[nFirst + d]);
            bOk = digit >= 0;
            value = value * 16 + unsigned(digit);
        }
        if (!bOk) {
            result += u'%';
            ++i;
            continue;
        }
        result += QChar(char16_t(value));
        i = nFirst + nDigits;
    }
    return result;
}

QByteArray EscapeKey(const QString& key)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    QByteArray result;
    for (const QChar qch : key) {
        const char16_t ch = qch.unicode();
        if (ch == u'/') {
            result += '\\';
        } else if ((ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || (ch >= u'0' && ch <= u'9') || ch == u'_'
                   || ch == u'-' || ch == u'.') {
            result += char(ch);
        } else if (ch <= 0xFF) {
            result += '%';
            result += kHex[ch >> 4];
            result += kHex[ch & 0xF];
        } else {
            result += "%U";
            for (int shift = 12; shift >= 0; shift -= 4) result += kHex[(ch >> shift) & 0xF];
        }
    }
    return result;
}

bool UnescapeValue(QByteArrayView value, QString& text, QStringList& list)
{
    const qsizetype n = value.size();
    qsizetype i = 0;
    QString current;
    bool bList = false, bInQuotes = false, bQuoted = false;
    // Blanks before this length were escaped or quoted: they stay.
    qsizetype nKeep = 0;

    const auto skipBlanks = [&] {
        while (i < n && (value[i] == ' ' || value[i] == '\t')) ++i;
        nKeep = current.size();
    };
    const auto chopBlanks = [&] {
        if (bQuoted) return;
        while (current.size() > nKeep && (current.back() == u' ' || current.back() == u'\t')) current.chop(1);
    };

    skipBlanks();
    while (i < n) {
        const char ch = value[i];
        if (ch == '\\') {
            if (++i >= n) break;
            const char code = value[i++];
            switch (code) {
            case 'a': current += u'\a'; break;
            case 'b': current += u'\b'; break;
            case 'f': current += u'\f'; break;
            case 'n': current += u'\n'; break;
            case 'r': current += u'\r'; break;
            case 't': current += u'\t'; break;
            case 'v': current += u'\v'; break;
            case '"': case '?': case '\'': case '\\': current += QChar(char16_t(code)); break;
            case 'x': {
                char16_t escaped = 0;
                bool bAny = false;
                while (i < n && HexValue(value[i]) >= 0) {
                    escaped = char16_t(escaped * 16 + HexValue(value[i++]));
                    bAny = true;
                }
                if (bAny) current += QChar(escaped);
                break;
            }
            case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
                char16_t escaped = char16_t(code - '0');
                while (i < n && value[i] >= '0' && value[i] <= '7') escaped = char16_t(escaped * 8 + (value[i++] - '0'));
                current += QChar(escaped);
                break;
            }
            case '\n': case '\r':
                // A continued line: the break itself is no part of the value.
                if (i < n && (value[i] == '\n' || value[i] == '\r') && value[i] != code) ++i;
                break;
            default:
                break;
            }
            nKeep = current.size();
        } else if (ch == '"') {
            ++i;
            bQuoted = true;
            bInQuotes = !bInQuotes;
            if (!bInQuotes) skipBlanks();
        } else if (ch == ',' && !bInQuotes) {
            chopBlanks();
            bList = true;
            list.append(current);
            current.clear();
            bQuoted = false;
            ++i;
            skipBlanks();
        } else {
            qsizetype j = i + 1;
            while (j < n && value[j] != '\\' && value[j] != '"' && value[j] != ',') ++j;
            current += QString::fromUtf8(value.sliced(i, j - i));
            i = j;
        }
    }
    chopBlanks();
    if (bList) {
        list.append(current);
        return true;
    }
    text = current;
    return false;
}

QByteArray EscapeValue(const QString& text)
{
    QByteArray result;
    bool bNeedsQuotes = false;
    bool bEscapeNextIfHex = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t ch = text.at(i).unicode();
        if (ch == u';' || ch == u',' || ch == u'=') bNeedsQuotes = true;
        // "\x1" followed by "2" would read as "\x12".
        if (bEscapeNextIfHex && IsHexDigit(ch)) {
            result += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        bEscapeNextIfHex = false;
        switch (ch) {
        case u'\0': result += "\\0"; bEscapeNextIfHex = true; break;
        case u'\a': result += "\\a"; break;
        case u'\b': result += "\\b"; break;
        case u'\f': result += "\\f"; break;
        case u'\n': result += "\\n"; break;
        case u'\r': result += "\\r"; break;
        case u'\t': result += "\\t"; break;
        case u'\v': result += "\\v"; break;
        case u'"': case u'\\': result += '\\'; result += char(ch); break;
        default:
            if (ch <= 0x1F) {
                result += "\\x" + QByteArray::number(ch, 16);
                bEscapeNextIfHex = true;
            } else if (QChar::isHighSurrogate(ch) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                result += QStringView(text).sliced(i, 2).toUtf8();
                ++i;
            } else {
                result += QStringView(text).sliced(i, 1).toUtf8();
            }
        }
    }
    if (bNeedsQuotes || result.startsWith(' ') || result.endsWith(' ')) {
        result.prepend('"');
        result.append('"');
    }
    return result;
}

std::optional<QString> DecodeTyped(const QString& stored)
{
    if (!stored.startsWith(u'@')) return stored;
    if (stored.endsWith(u')')) {
        if (stored.startsWith(QLatin1String("@ByteArray(")))
            return QString::fromUtf8(QStringView(stored).sliced(11).chopped(1).toLatin1());
        if (stored.startsWith(QLatin1String("@String("))) return stored.sliced(8).chopped(1);
        // Serialized objects and geometry: never decoded, never text.
        for (const char* tag : {"@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point("}) {
            if (stored.startsWith(QLatin1String(tag))) return std::nullopt;
        }
        if (stored == QLatin1String("@Invalid()")) return std::nullopt;
    }
    if (stored.startsWith(QLatin1String("@@"))) return stored.sliced(1);
    return stored;
}

QString Key(const QString& section, const QString& name)
{
    return NormalizedKey(section.isEmpty() ? name : section + u'/' + name);
}

void Parse(QByteArrayView data, SettingsMap& map)
{
    QString section;
    qsizetype pos = 0;
    Line line;
    while (NextLine(data, pos, line)) {
        const QByteArrayView text = data.sliced(line.nStart, line.nLength);
        if (text.front() == '[') {
            qsizetype nClose = text.indexOf(']');
            if (nClose < 0) nClose = text.size();
            const QByteArrayView name = Trimmed(text.sliced(1, nClose - 1));
            if (name.compare("general", Qt::CaseInsensitive) == 0) section.clear();
            else if (name.compare("%general", Qt::CaseInsensitive) == 0) section = QStringLiteral("General");
            else section = UnescapeKey(name);
            continue;
        }
        if (line.nEquals < 0) continue;
        const QString name = UnescapeKey(Trimmed(text.first(line.nEquals - line.nStart)));
        const QString key = Key(section, name);
        if (key.isEmpty()) continue;

        QString stored;
        QStringList items;
        const QByteArrayView value = text.sliced(line.nEquals - line.nStart + 1);
        if (UnescapeValue(value, stored, items)) {
            QStringList decoded;
            for (const QString& item : items) {
                const std::optional<QString> itemText = DecodeTyped(item);
                if (!itemText) break;
                decoded.append(*itemText);
            }
            if (decoded.size() == items.size()) map.insert(key, decoded);
            else map.remove(key);
        } else if (const std::optional<QString> decoded = DecodeTyped(stored)) {
            map.insert(key, *decoded);
        } else {
            map.remove(key);
        }
    }
}

QByteArray Text(const SettingsMap& map)
{
    // Section by section, the keys outside any section first, as QSettings does.
    QMap<QString, QByteArray> sections;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const QString& key = it.key();
        const qsizetype nSlash = key.indexOf(u'/');
        const QString section = nSlash < 0 ? QString() : key.left(nSlash);
        const QString name = nSlash < 0 ? key : key.mid(nSlash + 1);

        QByteArray value;
        if (it.value().typeId() == QMetaType::QStringList) {
            const QStringList items = it.value().toStringList();
            for (qsizetype k = 0; k < items.size(); ++k) {
                if (k > 0) value += ", ";
                value += StoredForm(items[k]);
            }
        } else {
            value = StoredForm(it.value().toString());
        }
        sections[section] += EscapeKey(name) + '=' + value + '\n';
    }

    QByteArray out;
    for (auto it = sections.constBegin(); it != sections.constEnd(); ++it) {
        if (!out.isEmpty()) out += '\n';
        if (it.key().isEmpty()) out += "[General]\n";
        else if (it.key().compare(QLatin1String("General"), Qt::CaseInsensitive) == 0) out += "[%General]\n";
        else out += '[' + EscapeKey(it.key()) + "]\n";
        out += it.value();
    }
    return out;
}

} // namespace ini
