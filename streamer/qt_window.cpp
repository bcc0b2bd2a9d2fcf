#include "streamer/qt_window.h"

#include "streamer/window.h"

namespace zep::streamer {

void addQtWindow(ui::qt::QtApp& app) {
  app.addWindow(kStreamerTitle, [](ui::qt::QtWindow& w) { w.button(w.root(), "OK"); });
}

}  // namespace zep::streamer
