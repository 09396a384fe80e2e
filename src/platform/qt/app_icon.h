#pragma once

#include <QIcon>

namespace quarin::qt {

// The application icon: the window, the About box and the desktop's task list show it.
QIcon appIcon();

} // namespace quarin::qt
