#include "TestSupport.h"

#include <QFile>

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

} // namespace rondo_test
