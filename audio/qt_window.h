// The layout of the audio tool's window in the Qt front end.
#pragma once

#include "ui/qt/qt_view.h"

namespace zep::audio {

void addQtWindow(ui::qt::QtApp& app);

}  // namespace zep::audio
