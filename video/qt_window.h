#pragma once

#include "ui/qt/qt_view.h"

namespace zep::video {
// The Qt layouts of the video tool's window and dialogs.
void addQtWindows(ui::qt::QtApp& app);
}  // namespace zep::video
