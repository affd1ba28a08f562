#include "settings/SettingsStore.h"

#include "settings/Ansi.h"
#include "settings/IniFormat.h"
#include "settings/SafeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>
#include <QStringConverter>
#include <QStringList>
#include <QVariant>

#include <climits>
#include <cstdio>
#include <mutex>
#include <optional>

namespace {

const QString kApplicationKey = QStringLiteral("Quillon Software/Rondo");
// Another run of the program writing its preferences takes milliseconds.
constexpr int kLockWaitMs = 3000;

// The C locale's isspace(); QChar::isSpace() would also take NBSP and other
// Unicode blanks, which the INI format never treated as blanks.
bool IsCSpace(char32_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

QString TrimCSpace(const QString& text)
{
    qsizetype nBegin = 0;
    qsizetype nEnd = text.size();
    while (nBegin < nEnd && IsCSpace(text.at(nBegin).unicode()))
        ++nBegin;
    while (nEnd > nBegin && IsCSpace(text.at(nEnd - 1).unicode()))
        --nEnd;
    return text.mid(nBegin, nEnd - nBegin);
}

// Legacy files were written by Windows tools in the ANSI code page, newer
// ones by hand in UTF-8; a piece that is not valid UTF-8 must be the former.
QString DecodeIniText(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return ansi::ToUnicode(bytes.toStdString());
}

// A file passed over is worth one line on the console per run, not one per
// value read from it.
void SayOnce(const QString& subject, const QString& what)
{
    static std::mutex lock;
    static QSet<QString> said;
    std::lock_guard<std::mutex> guard(lock);
    if (said.contains(subject))
        return;
    said.insert(subject);
    std::fprintf(stderr, "rondo: %s: %s\n", subject.toLocal8Bit().constData(), what.toLocal8Bit().constData());
}

enum class MapResult { Read, Missing, Unreadable };

MapResult ReadMap(const QString& file, ini::SettingsMap& map)
{
    QByteArray bytes;
    QString error;
    switch (files::ReadSmallFile(file, CSettingsStore::kMaxFileSize, bytes, error)) {
    case files::ReadResult::Read:
        ini::Parse(bytes, map);
        return MapResult::Read;
    case files::ReadResult::Missing:
        return MapResult::Missing;
    default:
        SayOnce(file, QStringLiteral("the preferences cannot be read and keep their defaults: %1").arg(error));
        return MapResult::Unreadable;
    }
}

// The legacy file's lines, as the old program's import took them.
void ApplyIni(const QByteArray& bytes, ini::SettingsMap& map)
{
    QString section;
    bool bInSection = false;
    qsizetype nPos = 0;
    while (nPos < bytes.size()) {
        // Over-long lines were always read in fixed pieces, each of which
        // counted as a line of its own; files in the wild rely on that. The
        // line end is looked for within the piece only.
        const qsizetype nLimit = qMin(bytes.size(), nPos + CSettingsStore::kIniPieceSize);
        const qsizetype nNewline = QByteArrayView(bytes).sliced(nPos, nLimit - nPos).indexOf('\n');
        const qsizetype nEnd = nNewline < 0 ? nLimit : nPos + nNewline + 1;
        QByteArray piece = bytes.mid(nPos, nEnd - nPos);
        nPos = nEnd;

        // The piece was a C string: a stray NUL ended it.
        const qsizetype nNul = piece.indexOf('\0');
        if (nNul >= 0)
            piece.truncate(nNul);

        // QByteArray::trimmed() strips exactly the C locale's blanks.
        const QString line = DecodeIniText(piece.trimmed());
        if (line.isEmpty())
            continue;

        if (line.front() == QLatin1Char('[') && line.indexOf(QLatin1Char(']')) == line.size() - 1) {
            section = TrimCSpace(line.mid(1, line.size() - 2));
            bInSection = true;
            continue;
        }

        const qsizetype nEq = line.indexOf(QLatin1Char('='));
        if (nEq < 0 || !bInSection)
            continue;
        const QString key = ini::Key(section, line.left(nEq));
        if (!key.isEmpty())
            map.insert(key, line.mid(nEq + 1));
    }
}

// Reads the legacy file; nothing when it is missing or cannot be read.
std::optional<QByteArray> ReadLegacyIni(const QString& iniPath)
{
    if (iniPath.isEmpty())
        return std::nullopt;
    QByteArray bytes;
    QString error;
    switch (files::ReadSmallFile(iniPath, CSettingsStore::kMaxFileSize, bytes, error)) {
    case files::ReadResult::Read:
        return bytes;
    case files::ReadResult::Missing:
        return std::nullopt;
    default:
        SayOnce(iniPath, QStringLiteral("the old preferences cannot be read and are not imported: %1").arg(error));
        return std::nullopt;
    }
}

// Reads, changes and writes the file while holding its lock, so that two
// runs of the program never write over each other's change. The new file
// replaces the old in one step; a file that exists but cannot be read is
// never replaced. bMustBeNew: only when the file does not exist yet.
template <typename Change>
bool Update(const QString& file, bool bMustBeNew, Change&& change, bool* pbWritten = nullptr)
{
    if (pbWritten)
        *pbWritten = false;
    if (file.isEmpty() || !QDir().mkpath(QFileInfo(file).absolutePath()))
        return false;
    QLockFile lock(file + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs))
        return false;
    ini::SettingsMap map;
    switch (ReadMap(file, map)) {
    case MapResult::Unreadable:
        return false;
    case MapResult::Read:
        if (bMustBeNew)
            return true;
        break;
    case MapResult::Missing:
        break;
    }
    if (!change(map))
        return false;
    QString error;
    if (!files::WriteWholeFile(file, ini::Text(map), error))
        return false;
    if (pbWritten)
        *pbWritten = true;
    return true;
}

// Reads a value as text, or nothing when it is missing, not text, or longer
// than the fixed buffer the values were always read into.
std::optional<QString> ReadValue(const QString& file, const QString& section, const QString& name)
{
    if (file.isEmpty() || name.isEmpty())
        return std::nullopt;
    ini::SettingsMap map;
    if (ReadMap(file, map) != MapResult::Read)
        return std::nullopt;
    const QVariant value = map.value(ini::Key(section, name));

    QString text;
    // An unquoted comma in a hand-edited file turns the value into a list.
    if (value.typeId() == QMetaType::QStringList)
        text = value.toStringList().join(QStringLiteral(", "));
    else if (value.isValid() && value.canConvert<QString>())
        text = value.toString();
    else
        return std::nullopt;

    if (text.toUtf8().size() + 1 > CSettingsStore::kValueBufferSize)
        return std::nullopt;
    return text;
}

bool WriteValue(const QString& file, const QString& section, const QString& name, const QString& text)
{
    const QString key = ini::Key(section, name);
    if (name.isEmpty() || key.isEmpty())
        return false;
    return Update(file, false, [&](ini::SettingsMap& map) {
        map.insert(key, text);
        return true;
    });
}

} // namespace

void CSettingsStore::Place(const QString& root, const QString& keyPath)
{
    m_strKey = keyPath;
    m_strRoot = root.isEmpty() ? DefaultRoot() : root;
    m_strFile.clear();
    const QString file = m_strRoot + QLatin1Char('/') + keyPath + QStringLiteral(".ini");
    if (m_strRoot.isEmpty())
        SayOnce(QStringLiteral("$XDG_CONFIG_HOME or $HOME"),
                QStringLiteral("the preferences folder's name is not valid UTF-8; the preferences keep their defaults"));
    else if (files::FileSystemName(file).isEmpty())
        SayOnce(file, QStringLiteral("the name cannot be used; the preferences keep their defaults"));
    else
        m_strFile = file;
}

bool CSettingsStore::Open(const QString& root, const QString& keyPath, bool* pbCreated)
{
    Place(root, keyPath);
    return Create(QString(), pbCreated);
}

bool CSettingsStore::Create(const QString& legacyIni, bool* pbCreated)
{
    if (pbCreated)
        *pbCreated = false;
    if (m_strFile.isEmpty())
        return false;
    ini::SettingsMap existing;
    switch (ReadMap(m_strFile, existing)) {
    case MapResult::Read:
        return true;
    case MapResult::Unreadable:
        return false;
    case MapResult::Missing:
        break;
    }
    // The legacy file is read before the lock is taken: it may be slow.
    const std::optional<QByteArray> ini = ReadLegacyIni(legacyIni);
    return Update(
        m_strFile, true,
        [&](ini::SettingsMap& map) {
            if (ini)
                ApplyIni(*ini, map);
            return true;
        },
        pbCreated);
}

bool CSettingsStore::OpenForApplication()
{
    Place(QString(), kApplicationKey);
    return Create(LegacyIniPath(), nullptr);
}

void CSettingsStore::PlaceForApplication()
{
    Place(QString(), kApplicationKey);
}

int CSettingsStore::GetInt(const QString& section, const QString& name, int nDefault) const
{
    const std::optional<QString> text = ReadValue(m_strFile, section, name);
    return text ? ParseInt(*text, nDefault) : nDefault;
}

bool CSettingsStore::SetInt(const QString& section, const QString& name, int nValue)
{
    return WriteValue(m_strFile, section, name, QString::number(nValue));
}

QString CSettingsStore::GetString(const QString& section, const QString& name, const QString& strDefault) const
{
    return ReadValue(m_strFile, section, name).value_or(strDefault);
}

bool CSettingsStore::SetString(const QString& section, const QString& name, const QString& strValue)
{
    return WriteValue(m_strFile, section, name, strValue);
}

void CSettingsStore::ImportIniFile()
{
    ImportIniFile(LegacyIniPath());
}

void CSettingsStore::ImportIniFile(const QString& iniPath)
{
    if (m_strFile.isEmpty())
        return;
    const std::optional<QByteArray> ini = ReadLegacyIni(iniPath);
    if (!ini)
        return;
    Update(m_strFile, false, [&](ini::SettingsMap& map) {
        ApplyIni(*ini, map);
        return true;
    });
}

QString CSettingsStore::DefaultRoot()
{
    // Read on every call: the environment may change while we run. The
    // names are taken as bytes: a folder whose name is not text is not
    // quietly replaced by another one.
    QString root;
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    if (!config.isEmpty())
        return files::NameFromBytes(config, root) ? root : QString();
    const QByteArray home = qgetenv("HOME");
    if (home.isEmpty())
        return QDir::homePath() + QStringLiteral("/.config");
    return files::NameFromBytes(home, root) ? root + QStringLiteral("/.config") : QString();
}

QString CSettingsStore::LegacyIniPath()
{
    QString dirs;
    if (!files::NameFromBytes(qgetenv("XDG_CONFIG_DIRS"), dirs))
        return QString();
    const QStringList list = dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    const QString dir = list.isEmpty() ? QStringLiteral("/etc/xdg") : list.first();
    return dir + QStringLiteral("/Rondo.INI");
}

int CSettingsStore::ParseInt(const QString& text, int nDefault)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && IsCSpace(text.at(i).unicode()))
        ++i;

    bool bNegative = false;
    if (i < n && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) {
        bNegative = text.at(i) == QLatin1Char('-');
        ++i;
    }

    // Accumulate the magnitude and clamp it like strtol() does for a 64-bit
    // long; "%d" then keeps the low 32 bits of that long.
    const unsigned long long nLimit = bNegative
        ? static_cast<unsigned long long>(LLONG_MAX) + 1
        : static_cast<unsigned long long>(LLONG_MAX);
    unsigned long long nMagnitude = 0;
    bool bAnyDigit = false;
    for (; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            break;
        bAnyDigit = true;
        const unsigned digit = c - u'0';
        if (nMagnitude > (nLimit - digit) / 10)
            nMagnitude = nLimit;
        else
            nMagnitude = nMagnitude * 10 + digit;
    }
    if (!bAnyDigit)
        return nDefault;

    // Unsigned negation and narrowing are modular, which is the wrap-around
    // wanted here (and the C++20 definition of the conversions).
    const unsigned long long nBits = bNegative ? 0ULL - nMagnitude : nMagnitude;
    return static_cast<int>(static_cast<unsigned int>(nBits));
}
