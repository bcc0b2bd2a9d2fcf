#include "audio/qt_window.h"

#include <QAbstractButton>
#include <QBoxLayout>

#include "audio/panel.h"

namespace zep::audio {

namespace {

QBoxLayout* layoutOf(QWidget* group) {
  return static_cast<QBoxLayout*>(group->layout());
}

void window(ui::qt::QtWindow& w) {
  auto* compression = layoutOf(w.group(w.root(), "Compression", true));
  for (const char* codec : {"ADPCM", "GSM", "PCM"})
    w.button(compression, codec)->setCheckable(true);
  auto* microphone = layoutOf(w.group(w.root(), "Microphone", true));
  w.meter(microphone, "Microphone");
  auto* speaker = layoutOf(w.group(w.root(), "Speaker", false));
  w.meter(speaker, "Speaker");
  w.slider(speaker, "Threshold", 0, 100);
  auto* control = layoutOf(w.group(w.root(), "Control", true));
  w.pictureButton(control, "Talk")->setText("Talk");
  w.button(control, "Auto")->setCheckable(true);
  w.menu("Control", {"Audio Panel", "Statistics", "Exit"});
}

}  // namespace

void addQtWindow(ui::qt::QtApp& app) {
  app.addWindow(kAudioToolTitle, window);
}

}  // namespace zep::audio
