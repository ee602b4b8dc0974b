#pragma once

class QCoreApplication;
class QWidget;

namespace tarni {

// Windows that place themselves on purpose (the sidebar, the content
// window) carry this property set to true and are left alone.
inline constexpr const char *kPlacesItselfProperty = "tarniPlacesItself";

// Keeps every window the application opens inside the available area of its
// screen: when a window is shown, one larger than that area is made smaller
// (down to what its layout allows) and one that sticks out is moved in.
void keepWindowsOnScreen(QCoreApplication &app);

// The same for one window, now.
void fitOnScreen(QWidget &window);

} // namespace tarni
