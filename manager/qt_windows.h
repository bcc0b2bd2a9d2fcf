// The layouts of the manager's windows in the Qt front end.
#pragma once

#include "ui/qt/qt_view.h"

namespace zep::manager {

void addQtWindows(ui::qt::QtApp& app);

}  // namespace zep::manager
