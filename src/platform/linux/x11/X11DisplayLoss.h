#pragma once
// The X display: there to start with, and leaving quietly when it goes away.
#include <functional>

namespace linuxplatform {

// Every way the agent can find the display gone ends in `leave`, run once, and then in exit
// status 0: our own Xlib connections (x11::onDisplayLost) and Qt's xcb connection, whose loss Qt
// would answer with exit(1) from the GUI thread while our other threads still run.
void leaveWhenDisplayIsLost(std::function<void()> leave);

// Whether $DISPLAY names an X server that takes a connection now (without one, Qt aborts).
bool displayReachable();

}  // namespace linuxplatform
