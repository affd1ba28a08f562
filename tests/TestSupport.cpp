#include "TestSupport.h"

#include <QDir>
#include <QFile>

#include <csignal>

#include <sys/resource.h>

namespace rondo_test {

ScopedConfigDirs::ScopedConfigDirs()
    : m_oldHome(qgetenv("XDG_CONFIG_HOME")), m_oldDirs(qgetenv("XDG_CONFIG_DIRS")),
      m_hadHome(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")),
      m_hadDirs(qEnvironmentVariableIsSet("XDG_CONFIG_DIRS"))
{
    qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_DIRS", (m_system.path() + ":/nonexistent").toLocal8Bit());
}

ScopedConfigDirs::~ScopedConfigDirs()
{
    if (m_hadHome) qputenv("XDG_CONFIG_HOME", m_oldHome); else qunsetenv("XDG_CONFIG_HOME");
    if (m_hadDirs) qputenv("XDG_CONFIG_DIRS", m_oldDirs); else qunsetenv("XDG_CONFIG_DIRS");
}

QString ScopedConfigDirs::StoreFile() const
{
    return m_home.path() + "/Quillon Software/Rondo.ini";
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

QStringList FolderEntries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

ScopedFileSizeLimit::ScopedFileSizeLimit(unsigned long long nBytes) : m_oldHandler(std::signal(SIGXFSZ, SIG_IGN))
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    m_oldLimit = limit.rlim_cur;
    limit.rlim_cur = nBytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

ScopedFileSizeLimit::~ScopedFileSizeLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = m_oldLimit;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, m_oldHandler);
}

} // namespace rondo_test
