#pragma once
// The program's own icon: a blue tile with a white arrow to the right over a
// green one to the left, drawn for 16, 32, 48 and 256 pixels and built into the
// program. Every window, the notification-area icon and the about box show it;
// the autostart entry names the large image beside the program.

#include <QIcon>

namespace tandemora {

QIcon TandemoraIcon();

} // namespace tandemora
