#pragma once

#include <QString>

// Preferences of the program: sections of named values kept as text in one
// INI file per user. Integers are stored as decimal text. Every read takes the
// caller's default for a missing, unreadable or over-long value. No call keeps
// the file open between calls; every write replaces the file in one step, so
// it is complete or as it was.
class CSettingsStore
{
public:
    // A stored value whose text, with a terminating NUL, does not fit this many
    // bytes reads as the default (the buffer size of the original store).
    static constexpr int kValueBufferSize = 260;
    // Legacy INI lines are read in pieces of at most this many bytes.
    static constexpr int kIniPieceSize = 519;
    // Neither the preferences file nor the legacy INI file is read when it
    // is larger: a real one holds a few hundred bytes.
    static constexpr qsizetype kMaxFileSize = 1024 * 1024;

    CSettingsStore() = default;
    virtual ~CSettingsStore() = default;

    // Places the store at root/keyPath.ini and creates that file when it does
    // not exist yet. pbCreated (optional) tells whether it was created now.
    // The location is remembered even when the call fails. An empty root means
    // the per-user configuration directory ($XDG_CONFIG_HOME or ~/.config).
    bool Open(const QString& root, const QString& keyPath, bool* pbCreated = nullptr);
    // Places the store without creating anything: reads give the defaults
    // until a write creates the file.
    void Place(const QString& root, const QString& keyPath);
    // The window's start: the program's own store at the per-user location.
    // The run that creates it fills it from the legacy INI file; the new file
    // appears complete or not at all.
    bool OpenForApplication();
    // The command line: the same place, nothing created or imported.
    void PlaceForApplication();

    int GetInt(const QString& section, const QString& name, int nDefault) const;
    bool SetInt(const QString& section, const QString& name, int nValue);
    QString GetString(const QString& section, const QString& name, const QString& strDefault) const;
    bool SetString(const QString& section, const QString& name, const QString& strValue);

    // Copies the legacy INI file (see LegacyIniPath) into the store.
    void ImportIniFile();
    // Copies the given INI file into the store, in one write; does nothing
    // when it cannot be read.
    void ImportIniFile(const QString& iniPath);

    // The per-user configuration directory the store uses for an empty root;
    // empty when the environment names one that cannot be used.
    static QString DefaultRoot();
    // Rondo.INI in the first directory of $XDG_CONFIG_DIRS (default /etc/xdg).
    static QString LegacyIniPath();
    // "%d" parsing: leading blanks and a sign, digits up to the first other
    // character; nDefault when the text does not begin with a number.
    static int ParseInt(const QString& text, int nDefault);

    QString FilePath() const { return m_strFile; }
    const QString& Key() const { return m_strKey; }

private:
    bool Create(const QString& legacyIni, bool* pbCreated);

    QString m_strKey;   // key path below the root, e.g. "Quillon Software/Rondo"
    QString m_strRoot;  // the root directory the key path is taken from
    QString m_strFile;  // resolved INI file path; empty when there is none
};
