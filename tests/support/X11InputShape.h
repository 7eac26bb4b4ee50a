#pragma once

#include <QRegion>

class QWidget;

// The part of a top-level window of this process that takes the pointer, as the X server has it
// (the window's input shape, in window coordinates). Empty when it lets every click through.
QRegion x11InputRegion(QWidget* window);
