// Renders the application icon at the hicolor theme's sizes:
//   rondo_icon_png ICON.svg OUT_DIR NAME SIZE...
// writes OUT_DIR/SIZExSIZE/apps/NAME.png for each size.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: rondo_icon_png ICON.svg OUT_DIR NAME SIZE...\n");
        return 64;
    }
    // Runs at build time, with no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString svg = QString::fromLocal8Bit(argv[1]);
    const QDir out(QString::fromLocal8Bit(argv[2]));
    const QString name = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 1 || size > 1024) {
            std::fprintf(stderr, "rondo_icon_png: bad size %s\n", argv[i]);
            return 64;
        }
        QImageReader reader(svg);
        reader.setScaledSize(QSize(size, size));
        const QImage image = reader.read();
        const QString dir = QStringLiteral("%1x%1/apps").arg(size);
        const QString file = out.filePath(dir + QStringLiteral("/") + name + QStringLiteral(".png"));
        if (image.isNull() || image.size() != QSize(size, size) || !out.mkpath(dir) || !image.save(file, "PNG")) {
            std::fprintf(stderr, "rondo_icon_png: cannot render %s at %d px into %s: %s\n", argv[1], size,
                         qPrintable(file), qPrintable(reader.errorString()));
            return 1;
        }
    }
    return 0;
}
