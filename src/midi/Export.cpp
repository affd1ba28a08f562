#include "doc/RondoDoc.h"

#include <QDir>
#include <QSaveFile>

bool CRondoDoc::WriteMidiImage(const QString& path)
{
    // Written beside the target and renamed over it: a failed export never
    // leaves a truncated file where a good one was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(reinterpret_cast<const char*>(m_midiFile), m_nDocSize) != m_nDocSize
        || !file.commit()) {
        ReportFileError(QStringLiteral("The MIDI file could not be written to %1.\n\n%2")
                            .arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    m_strLastError.clear();
    return true;
}
