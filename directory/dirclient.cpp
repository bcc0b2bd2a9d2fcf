// dirclient: a directory browser. It loads the directory client library as its host program
// would, connects to a Directory Server, shows the Directory Server window and prints every
// notification the library posts to it as one line:
//   dirclient [--headless] [--config Kestrel.cfg | SERVER NAME EMAIL]
#include <QApplication>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "directory/dirlink.h"
#include "directory/qt_windows.h"
#include "platform/net.h"
#include "platform/options.h"
#include "ui/headless.h"
#include "ui/qt/qt_view.h"

namespace {

constexpr const char* kTitle = "Directory Client";
constexpr std::size_t kSettingsSize = 204;

std::string dotted(std::uint32_t address) {
  const auto* b = reinterpret_cast<const unsigned char*>(&address);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

// One line per notification: its name, the low word, then what it carries.
std::string describe(std::uint32_t first, std::uintptr_t second) {
  unsigned code = first >> 16, low = first & 0xFFFF;
  auto named = [&](const char* name) { return std::string(name) + " " + std::to_string(low); };
  auto withRecord = [&](const char* name) {
    auto* record = reinterpret_cast<ParticipantRecord*>(second);
    std::string line = named(name);
    if (record) {
      line += " " + std::string(record->name, strnlen(record->name, sizeof record->name)) + " " +
              dotted(record->userId);
      std::free(record);
    }
    return line;
  };
  switch (code) {
    case DSN_CALLUSER:
      return named("DSN_CALLUSER") + " " + dotted(static_cast<std::uint32_t>(second));
    case DSN_CONFENTERED:
      return withRecord("DSN_CONFENTERED");
    case DSN_PARTICIPANTJOINED:
      return withRecord("DSN_PARTICIPANTJOINED");
    case DSN_CONFLEFT:
      return named("DSN_CONFLEFT");
    case DSN_PARTICIPANTLEFT:
      return withRecord("DSN_PARTICIPANTLEFT");
    default:
      return "command " + std::to_string(first);
  }
}

class Browser final : public zep::ui::Presenter {
 public:
  Browser(std::array<std::uint8_t, kSettingsSize> settings, bool showList)
      : settings_(settings), showList_(showList) {}
  void attach(zep::ui::View& view) override {
    view_ = &view;
    if (DSInitialize(&view) != 0 || DSConnect(settings_.data()) != 0) {
      failed_ = true;
      view.close();
      return;
    }
    DSActiveUsers();
  }
  void onClick(std::string_view control) override {
    if (control == "Directory/Active Users..." && DSActiveUsers() != 0)
      view_->messageBox("Error", "Active Users dialog error", zep::ui::Icon::kError);
    if (control == "Directory/Conferences..." && DSConferences() != 0)
      view_->messageBox("Error", "Conferences dialog error", zep::ui::Icon::kError);
    if (control == "File/Exit") view_->close();
  }
  void onCommand(std::uint32_t first, std::uintptr_t second) override {
    std::string line = describe(first, second);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (showList_) view_->addItem("Notifications", line);
  }
  void onClose() override { view_->close(); }
  bool failed() const { return failed_; }

 private:
  std::array<std::uint8_t, kSettingsSize> settings_;
  bool showList_;
  zep::ui::View* view_ = nullptr;
  bool failed_ = false;
};

void put(std::array<std::uint8_t, kSettingsSize>& s, std::size_t offset, std::size_t width,
         const std::string& text) {
  std::size_t n = std::min(text.size(), width - 1);
  std::memcpy(s.data() + offset, text.data(), n);
  s[offset + n] = 0;
}

const zep::options::Program kProgram{
    "dirclient",
    "a directory browser: the Directory Server window of libdirlink.so on its own",
    "[SERVER NAME EMAIL]",
    {{"--headless", "",
      "the headless front end: one line per visible change out, typed commands in"},
     {"--config", "PATH", "take the server, name and e-mail from a Kestrel.cfg"}},
    {zep::options::kHost, zep::options::kDisplay},
    "Connects to the Directory Server (TCP port 4401) named by SERVER, or by the settings file,\n"
    "and prints every notification the library hands its host (DSN_... lines)."};

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = zep::options::parseOrExit(kProgram, argc, argv);
  std::array<std::uint8_t, kSettingsSize> settings{};
  const std::vector<std::string>& words = parsed.operands;
  const std::string config = parsed.value("--config");
  auto usage = [] {
    std::fprintf(stderr, "%s\n", zep::options::usageLine(kProgram).c_str());
    return 2;
  };
  if (!config.empty()) {
    std::ifstream in(config, std::ios::binary);
    in.read(reinterpret_cast<char*>(settings.data()), settings.size());
    if (in.gcount() != static_cast<std::streamsize>(settings.size())) {
      std::fprintf(stderr, "%s: not a settings file of %zu bytes\n", config.c_str(),
                   settings.size());
      return 1;
    }
  } else if (words.size() == 3) {
    put(settings, 20, 50, words[0]);
    put(settings, 70, 30, words[1]);
    put(settings, 100, 32, words[2]);
  } else {
    return usage();
  }

  const bool headless = zep::ui::wantsHeadless(argc, argv);
  Browser browser(settings, !headless);
  int rc;
  if (headless) {
    zep::ui::HeadlessApp app(stdout, std::cin);
    rc = app.run(kTitle, browser);
    // The library has no shutdown: its connection ends with the process, which ends here while
    // the windows it posts to still exist. Only the output streams are flushed: the input's
    // lock is held by the reader still waiting for a line, so flushing every stream would
    // wait for the input to end.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(browser.failed() ? 1 : rc);
  }
  QApplication qt(argc, argv);
  zep::ui::qt::QtApp app;
  zep::directory::addQtWindows(app);
  app.addWindow(kTitle, [](zep::ui::qt::QtWindow& w) {
    w.menu("File", {"Exit"});
    w.menu("Directory", {"Active Users...", "Conferences..."});
    w.list(w.root(), "Notifications", false);
    w.widget()->resize(420, 260);
  });
  rc = app.run(kTitle, browser);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(browser.failed() ? 1 : rc);
}
