// Draws the video tool's window with its Mirror and two member windows, and the Advanced
// dialog, into PNG files so a person can look at them: screenshots DIRECTORY.
#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "codecs/picture.h"
#include "video/qt_window.h"
#include "video/video_core.h"

namespace {
class Still final : public zep::ui::Presenter {
 public:
  void attach(zep::ui::View&) override {}
  void onClick(std::string_view) override {}
};

// A picture of bars and a square, different for each window.
std::vector<std::uint8_t> picture(int which) {
  using namespace zep::picture;
  VideoFrame420 f;
  for (int r = 0; r < kHeight; ++r)
    for (int c = 0; c < kWidth; ++c) {
      bool square = r > 40 && r < 100 && c > 30 + 40 * which && c < 90 + 40 * which;
      f.y()[r * kWidth + c] = static_cast<std::uint8_t>(square ? 230 : 30 + (c * 180 / kWidth));
    }
  for (std::size_t i = 0; i < kChromaSize; ++i) {
    f.cb()[i] = static_cast<std::uint8_t>(90 + 50 * which);
    f.cr()[i] = static_cast<std::uint8_t>(170 - 40 * which);
  }
  std::vector<std::uint8_t> rgb(kRgbSize);
  frame420ToRgb24(f, rgb);
  return rgb;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  QApplication qt(argc, argv);
  zep::ui::qt::QtApp app;
  zep::video::addQtWindows(app);
  Still still;
  auto main = app.build(zep::video::kVideoToolTitle, still, false);
  main->setText("Status", "Sending video");
  main->setPicture("Camera", "camera");
  main->setChecked("Camera", true);
  main->widget()->show();
  main->openDisplay(20, "Mirror", 0, 0, false);
  main->openDisplay(1, "bob@host-b", 300, 100, true);
  main->openDisplay(2, "carol@host-c", 500, 100, true);
  // A member window made larger shows its picture stretched.
  main->display(2)->resize(264, 216);
  for (int id : {20, 1, 2}) main->paintDisplay(id, picture(id % 3), 176, 144);
  auto advanced = app.build("Advanced", still, true);
  advanced->setChecked("H263", true);
  advanced->widget()->show();
  QApplication::processEvents();
  QApplication::processEvents();
  std::string dir = argv[1];
  bool ok = main->widget()->grab().save(QString::fromStdString(dir + "/video-main.png"));
  ok = main->display(20)->grab().save(QString::fromStdString(dir + "/video-mirror.png")) && ok;
  ok = main->display(1)->grab().save(QString::fromStdString(dir + "/video-member-1.png")) && ok;
  ok = main->display(2)->grab().save(QString::fromStdString(dir + "/video-member-2.png")) && ok;
  ok = advanced->widget()->grab().save(QString::fromStdString(dir + "/video-advanced.png")) && ok;
  // The pictures must really be there: a member window is not left black.
  QImage shot = main->display(2)->grab().toImage();
  bool painted = shot.pixelColor(shot.width() / 2, shot.height() / 2) != QColor(Qt::black);
  std::printf(
      "%s video-main, video-mirror, video-member-1, video-member-2 and video-advanced.png "
      "in %s%s\n",
      ok ? "wrote" : "could not write", dir.c_str(), painted ? "" : " (pictures missing)");
  return ok && painted ? 0 : 1;
}
