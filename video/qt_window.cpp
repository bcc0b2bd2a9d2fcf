#include "video/qt_window.h"

#include <QAbstractButton>
#include <QBoxLayout>

#include "video/video_core.h"

namespace zep::video {

namespace {

QBoxLayout* layoutOf(QWidget* group) {
  return static_cast<QBoxLayout*>(group->layout());
}

void mainWindow(ui::qt::QtWindow& w) {
  w.menu("File", {"Exit"});
  w.menu("Capture", {"Start", "Stop"});
  w.menu("Tools", {"Connection", "Advanced", "Statistics"});
  auto* video = layoutOf(w.group(w.root(), "Video", true));
  w.button(video, "Camera")->setCheckable(true);
  w.field(w.root(), "Status", true);
}

void connectionPanel(ui::qt::QtWindow& w) {
  auto* group = layoutOf(w.group(w.root(), "Connection", false));
  w.field(group, "Connection name", false);
  w.list(group, "Connection", true);
  auto* buttons = layoutOf(w.group(w.root(), "", true));
  w.button(buttons, "OK");
  w.button(buttons, "Cancel");
}

void advanced(ui::qt::QtWindow& w) {
  auto* group = layoutOf(w.group(w.root(), "Compression", false));
  for (const char* choice : {"H261", "H261 (Intra mode)", "H263", "YUV9"})
    w.button(group, choice)->setCheckable(true);
  auto* buttons = layoutOf(w.group(w.root(), "", true));
  w.button(buttons, "OK");
  w.button(buttons, "Cancel");
}

void statistics(ui::qt::QtWindow& w) {
  auto* group = layoutOf(w.group(w.root(), "Encoding", false));
  for (const char* field :
       {"Total time [ms]:", "Total frames:", "Total bytes:", "Frames per sec:", "Bytes per sec:"})
    w.field(group, field, true);
  auto* buttons = layoutOf(w.group(w.root(), "", true));
  w.button(buttons, "OK");
  w.button(buttons, "Update");
  w.button(buttons, "Reset");
}

}  // namespace

void addQtWindows(ui::qt::QtApp& app) {
  app.addWindow(kVideoToolTitle, mainWindow);
  app.addWindow("Connection Panel", connectionPanel);
  app.addWindow("Advanced", advanced);
  app.addWindow("Statistics", statistics);
}

}  // namespace zep::video
