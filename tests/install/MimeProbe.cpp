// Prints the MIME type the desktop's database gives each file, one per line,
// as a file manager would look it up (XDG_DATA_DIRS chooses the database):
//   rondo_mime_probe FILE...
// A file name ending in "#name" is looked up by its name only; "(none)"
// stands for no type at all.

#include <QCoreApplication>
#include <QMimeDatabase>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QMimeDatabase db;
    for (int i = 1; i < argc; ++i) {
        QString file = QString::fromLocal8Bit(argv[i]);
        const bool bByName = file.endsWith(QStringLiteral("#name"));
        if (bByName) file.chop(5);
        const QMimeType type = bByName ? db.mimeTypeForFile(file, QMimeDatabase::MatchExtension)
                                       : db.mimeTypeForFile(file, QMimeDatabase::MatchContent);
        std::printf("%s\n", type.isValid() ? qPrintable(type.name()) : "(none)");
    }
    return 0;
}
