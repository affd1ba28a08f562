#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <ostream>

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace rondo_test {

// Points XDG_CONFIG_HOME and XDG_CONFIG_DIRS at fresh temporary folders for
// the lifetime of the object, so no test sees or touches the user's settings.
class ScopedConfigDirs
{
public:
    ScopedConfigDirs();
    ~ScopedConfigDirs();
    ScopedConfigDirs(const ScopedConfigDirs&) = delete;
    ScopedConfigDirs& operator=(const ScopedConfigDirs&) = delete;

    QString ConfigHome() const { return m_home.path(); }
    QString SystemDir() const { return m_system.path(); }
    // Where the store keeps its file for organisation "Quillon Software", application "Rondo".
    QString StoreFile() const;

private:
    QTemporaryDir m_home;
    QTemporaryDir m_system;
    QByteArray m_oldHome, m_oldDirs;
    bool m_hadHome, m_hadDirs;
};

bool WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);
// Every name in a folder, hidden ones included, sorted.
QStringList FolderEntries(const QString& dir);

// While it lives, every write of this process past nBytes of a file fails
// with EFBIG, as on a full disk (SIGXFSZ ignored, so the write just fails).
class ScopedFileSizeLimit
{
public:
    explicit ScopedFileSizeLimit(unsigned long long nBytes);
    ~ScopedFileSizeLimit();
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    unsigned long long m_oldLimit;
    void (*m_oldHandler)(int);
};

} // namespace rondo_test
