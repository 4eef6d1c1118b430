#pragma once

// Scales the whole window with the display, as set on the system (150 % on
// Windows, the X server's dots per inch): fonts, geometry and icons alike.
// Call it before the application object is made.
void enableHighDpiScaling();
