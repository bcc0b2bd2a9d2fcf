// Draws the integrated client's windows, filled as in a session, into PNG files so a person
// can look at them: kestrel_screenshots DIRECTORY.
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <memory>
#include <vector>

#include "kestrel/chat.h"
#include "kestrel/options_dialog.h"
#include "kestrel/personal_info.h"
#include "kestrel/qt_window.h"
#include "kestrel/statistics_window.h"
#include "kestrel/window.h"
#include "platform/capture.h"

namespace {

using namespace zep;

class Still final : public ui::Presenter {
 public:
  void attach(ui::View&) override {}
  void onClick(std::string_view) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  QApplication qt(argc, argv);
  ui::qt::QtApp app;
  kestrel::addQtWindows(app);
  Still still;
  std::vector<std::pair<std::string, std::unique_ptr<ui::qt::QtWindow>>> shots;

  auto main = app.build(kestrel::kKestrelTitle, still, false);
  main->setText("Status", "New participant joins");
  for (const char* p : {"dave@host-d", "erin@host-e", "alice@host-a"})
    main->addItem("Participants", p);
  main->setValue("Speaker", 46);
  main->setValue("Microphone", 12);
  main->setValue("Speaker threshold", 20);
  main->setValue("Microphone threshold", 20);
  main->setChecked("Manual switch", true);
  main->setPicture("Talk", "microphone");
  main->setEnabled("Accept", false);
  main->setEnabled("Reject", false);
  main->setPicture("Video", "camera");
  main->setChecked("Video", true);
  // A member's video window and the Mirror, with their text lines.
  ui::qt::QtWindow* mainWindow = main.get();
  main->openDisplay(20, "Mirror", 0, 0, false);
  main->openDisplay(1, "erin@host-e", 300, 100, true);
  for (int id : {20, 1}) {
    std::vector<std::uint8_t> rgb(176 * 144 * 3);
    capture::drawTestPattern(id == 1 ? "erin" : "dave", 40,
                             {176, 144, capture::PixelFormat::kRgb24}, rgb);
    main->paintDisplay(id, rgb, 176, 144);
  }
  main->setDisplayText(20, "Audio On");
  main->setDisplayText(1, " 5.0 fps    21 kbps");
  shots.emplace_back("kestrel-main", std::move(main));

  kestrel::KestrelSettings settings;
  settings.name = "dave";
  settings.email = "dave@example.org";
  kestrel::OptionsEnvironment environment;
  environment.devices = {"Test pattern", "USB Camera (/dev/video0)"};
  std::vector<std::unique_ptr<kestrel::OptionsDialog>> pages;
  for (const char* page : {"General", "Audio", "Video"}) {
    pages.push_back(std::make_unique<kestrel::OptionsDialog>(settings, environment));
    auto window = app.build(kestrel::kOptionsTitle, *pages.back(), true);
    pages.back()->attach(*window);
    pages.back()->onClick(page);
    shots.emplace_back(std::string("kestrel-options-") + page, std::move(window));
  }

  auto call = app.build("Call User", still, true);
  call->setText("User", "erin@host-e");
  shots.emplace_back("kestrel-call-user", std::move(call));

  auto chat = app.build(kestrel::kChatTitle, still, true);
  for (const char* line :
       {"dave: shall we start?", "local: yes, everybody is here", "erin: I can hear you both"})
    chat->addItem("Transcript", line);
  chat->setText("Message", "see the slides at ten");
  shots.emplace_back("kestrel-text-chat", std::move(chat));

  auto statistics = app.build(kestrel::kStatisticsTitle, still, true);
  statistics->addItem("Participants", "erin@host-e");
  statistics->setText("Audio Received:", kestrel::countText(482, 99));
  statistics->setText("Audio Lost:", kestrel::countText(3, 1));
  statistics->setText("Audio Late:", kestrel::countText(5, 1));
  statistics->setText("Audio Total:", kestrel::totalText(485));
  statistics->setText("Audio Bandwidth:", kestrel::bandwidthText(16.4));
  statistics->setText("Audio Latency:", kestrel::latencyText(12));
  statistics->setText("Video Received:", kestrel::countText(96, 100));
  statistics->setText("Video Lost:", kestrel::countText(0, 0));
  statistics->setText("Video Frames/sec:", kestrel::frameRateText(4.8));
  statistics->setText("Video Bandwidth:", kestrel::bandwidthText(9.1));
  shots.emplace_back("kestrel-statistics", std::move(statistics));

  kestrel::KestrelSettings empty;
  kestrel::PersonalInfoForm form(empty);
  auto personal = app.build(kestrel::kPersonalInfoTitle, form, true);
  form.attach(*personal);
  personal->setText("Your name:", "erin");
  shots.emplace_back("kestrel-personal-information", std::move(personal));

  for (auto& [name, window] : shots) window->widget()->show();
  QApplication::processEvents();
  QApplication::processEvents();
  bool ok = true;
  for (auto [id, name] : {std::pair{1, "kestrel-member-video"}, std::pair{20, "kestrel-mirror"}}) {
    std::string path = std::string(argv[1]) + "/" + name + ".png";
    QImage shot = mainWindow->display(id)->grab().toImage();
    // The picture must really be there: the window is not left black.
    bool painted = shot.pixelColor(shot.width() / 2, shot.height() / 3) != QColor(Qt::black);
    bool saved = painted && shot.save(QString::fromStdString(path));
    std::printf("%s %s\n", saved ? "wrote" : "could not write (or nothing painted)", path.c_str());
    ok = ok && saved;
  }
  for (auto& [name, window] : shots) {
    std::string path = std::string(argv[1]) + "/" + name + ".png";
    bool saved = window->widget()->grab().save(QString::fromStdString(path));
    std::printf("%s %s\n", saved ? "wrote" : "could not write", path.c_str());
    ok = ok && saved;
  }
  return ok ? 0 : 1;
}
