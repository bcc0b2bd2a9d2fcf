#pragma once

#include "ui/qt/qt_view.h"

namespace zep::kestrel {
// The Qt layouts of the integrated client's windows.
void addQtWindows(ui::qt::QtApp& app);
}  // namespace zep::kestrel
