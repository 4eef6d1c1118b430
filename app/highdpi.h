#pragma once

#include <QtGlobal>

#include <memory>

class QApplication;

// The factor a display of this many dots per inch scales the window by:
// Windows' own steps of a quarter (1, 1.25, 1.5, ...), never below 1. A
// display just off 96 dpi (an X server at 100) keeps the form's pixels.
qreal snappedScaleFactor(qreal dotsPerInch);

// The application object, scaling the whole window with the display as set
// on the system (150 % on Windows, the X server's dots per inch): fonts,
// geometry and icons alike, by snappedScaleFactor.
std::unique_ptr<QApplication> makeScaledApplication(int &argc, char **argv);
