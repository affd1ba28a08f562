#pragma once

#include <QString>

// The files Rondo ships beside the program (the help page, the example
// loops) are in share/rondo next to the binary's folder: where the install
// puts them, and where the build tree copies them.
QString RondoDataPath(const QString& relative);

// The folder of the example loops, or empty when it is not there.
QString ExampleLoopFolder();
