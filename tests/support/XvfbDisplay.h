#pragma once
// A private X server for the test program that links XvfbDisplay.cpp (see
// there), and reading a window back from it.
#include <QImage>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <string>

namespace km7::test {

// Whether the server started (DISPLAY and the xcb platform are then set).
bool XvfbRunning();
// ":N", empty when none runs.
const std::string& XvfbDisplayName();

// The window's pixels as the X server holds them, not a fresh render.
inline QImage PixelsOnDisplay(QWidget* window) {
  return window->screen()->grabWindow(window->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace km7::test
