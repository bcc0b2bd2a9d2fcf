// The Qt layouts of the directory's windows, for a host's Qt front end.
#pragma once

#include "ui/qt/qt_view.h"

namespace zep::directory {
void addQtWindows(ui::qt::QtApp& app);
}
