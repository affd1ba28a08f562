#include "doc/RondoDoc.h"
#include "settings/SafeFile.h"

#include <QDir>

bool CRondoDoc::WriteMidiImage(const QString& path)
{
    // Written beside the target and renamed over it: a failed export never
    // leaves a truncated file where a good one was.
    QString error;
    if (!files::WriteWholeFile(path, QByteArrayView(reinterpret_cast<const char*>(m_midiFile), m_nDocSize), error)) {
        ReportFileError(QStringLiteral("The MIDI file could not be written to %1.\n\n%2")
                            .arg(QDir::toNativeSeparators(path), error));
        return false;
    }
    m_strLastError.clear();
    return true;
}
