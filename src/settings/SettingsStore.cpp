#include "settings/SettingsStore.h"

#include "settings/Ansi.h"
#include "settings/IniFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringConverter>
#include <QStringList>
#include <QVariant>

#include <climits>
#include <optional>

namespace {

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

// Reads a value as text, or nothing when it is missing, not text, or longer
// than the fixed buffer the values were always read into.
std::optional<QString> ReadValue(const QString& file, const QString& section, const QString& name)
{
    if (file.isEmpty() || name.isEmpty() || !QFileInfo(file).isFile())
        return std::nullopt;

    QSettings settings(file, ini::Format());
    settings.beginGroup(section);
    const QVariant value = settings.value(name);
    settings.endGroup();

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
    // QSettings silently ignores an empty key; that is no successful write.
    if (file.isEmpty() || name.isEmpty())
        return false;

    QSettings settings(file, ini::Format());
    settings.beginGroup(section);
    settings.setValue(name, text);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace

bool CSettingsStore::Open(const QString& root, const QString& keyPath, bool* pbCreated)
{
    if (pbCreated)
        *pbCreated = false;

    m_strKey = keyPath;
    m_strRoot = root.isEmpty() ? DefaultRoot() : root;
    m_strFile = m_strRoot + QLatin1Char('/') + keyPath + QStringLiteral(".ini");

    const QFileInfo info(m_strFile);
    if (!info.exists()) {
        if (!QDir().mkpath(info.absolutePath()))
            return false;
        QFile file(m_strFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return false;
        file.close();
        if (pbCreated)
            *pbCreated = true;
    }

    QFile file(m_strFile);
    return file.open(QIODevice::ReadOnly);
}

bool CSettingsStore::OpenForApplication()
{
    bool bCreated = false;
    const bool bOpen = Open(QString(), QStringLiteral("Quillon Software/Rondo"), &bCreated);
    if (bOpen && bCreated)
        ImportIniFile();
    return bOpen;
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
    QFile ini(iniPath);
    if (!ini.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = ini.readAll();
    ini.close();

    QSettings settings(m_strFile, ini::Format());
    bool bInSection = false;
    qsizetype nPos = 0;
    while (nPos < bytes.size()) {
        // Over-long lines were always read in fixed pieces, each of which
        // counted as a line of its own; files in the wild rely on that.
        qsizetype nEnd = bytes.indexOf('\n', nPos);
        nEnd = (nEnd < 0) ? bytes.size() : nEnd + 1;
        nEnd = qMin(nEnd, nPos + kIniPieceSize);
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
            const QString section = TrimCSpace(line.mid(1, line.size() - 2));
            while (!settings.group().isEmpty())
                settings.endGroup();
            if (!section.isEmpty())
                settings.beginGroup(section);
            bInSection = true;
            continue;
        }

        const qsizetype nEq = line.indexOf(QLatin1Char('='));
        if (nEq < 0 || !bInSection)
            continue;
        const QString name = line.left(nEq);
        if (name.isEmpty())
            continue;
        settings.setValue(name, line.mid(nEq + 1));
    }
    while (!settings.group().isEmpty())
        settings.endGroup();
    settings.sync();
}

QString CSettingsStore::DefaultRoot()
{
    // Read on every call: the environment may change while we run.
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!home.isEmpty())
        return home;
    return QDir::homePath() + QStringLiteral("/.config");
}

QString CSettingsStore::LegacyIniPath()
{
    const QStringList dirs = qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    const QString dir = dirs.isEmpty() ? QStringLiteral("/etc/xdg") : dirs.first();
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
