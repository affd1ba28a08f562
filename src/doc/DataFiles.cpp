#include "doc/DataFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString RondoDataPath(const QString& relative)
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/" RONDO_DATA_FROM_BIN "/")
                           + relative);
}

QString ExampleLoopFolder()
{
    const QString folder = RondoDataPath(QStringLiteral("loops"));
    return QFileInfo(folder).isDir() ? QDir::toNativeSeparators(folder) : QString();
}
