#include <QApplication>

#include <gtest/gtest.h>

// The window tests need a QApplication; they run without a display.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // No JACK client of the tests may start a server.
    qputenv("JACK_NO_START_SERVER", "1");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
