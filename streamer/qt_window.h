// The layout of the stream client's window in the Qt front end.
#pragma once

#include "ui/qt/qt_view.h"

namespace zep::streamer {

void addQtWindow(ui::qt::QtApp& app);

}  // namespace zep::streamer
