#pragma once

#include <QString>

class QWidget;

namespace help {

// Help → Getting Started: a short page in a window of its own (Esc or Ctrl+W closes it).
QWidget *gettingStartedWindow(QWidget *parent);
// The About box's text: the version, and the licences of what PinDrift builds on and shows.
QString aboutText();

} // namespace help
