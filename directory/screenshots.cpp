// Draws the Directory Server window's two pages, filled as in use, into PNG files so a person
// can look at them: screenshots DIRECTORY.
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <string>

#include "directory/pages.h"
#include "directory/qt_windows.h"

namespace {

using namespace zep::directory;

// Nothing to receive; requests go nowhere.
class NoServer final : public Transport {
 public:
  long recv_n(std::uint8_t*, std::size_t) override { return 0; }
  long send_n(const std::uint8_t*, std::size_t n) override { return static_cast<long>(n); }
};

class NoHost final : public HostWindow {
 public:
  void notify(std::uint16_t, std::uint16_t, std::uintptr_t) override {}
};

zep::net::Ipv4 ip(const std::string& dotted) {
  return zep::net::dottedAddress(dotted);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  QApplication qt(argc, argv);
  zep::ui::qt::QtApp app;
  addQtWindows(app);
  NoServer server;
  ServerLink link(&server);
  link.connect("", 0);
  link.setLocalAddress(ip("10.0.0.1"));
  NoHost host;
  DirectoryServerDialog dialog(link, host);
  auto window = app.build(kDialogTitle, dialog, false);
  dialog.attach(*window);
  const char* users[][2] = {
      {"alice", "10.0.0.1"}, {"bob", "10.0.0.2"}, {"carol", "10.0.0.3"}, {"dave", "10.0.0.4"}};
  for (auto& u : users) dialog.onRegister({ip(u[1]), u[0], "", std::string(u[0]) + "@example.org"});
  dialog.onConferenceEntry({kProtected, 7, "Design review", {ip("10.0.0.1"), ip("10.0.0.2")}});
  dialog.onConferenceEntry({kOpen, 9, "Coffee", {ip("10.0.0.3")}});
  std::string dir = argv[1];
  bool ok = true;
  for (int tab : {0, 1}) {
    dialog.show(tab);
    window->widget()->show();
    QApplication::processEvents();
    std::string file = dir + (tab == 0 ? "/directory-users.png" : "/directory-conferences.png");
    ok = window->widget()->grab().save(QString::fromStdString(file)) && ok;
  }
  std::printf("%s directory-users.png and directory-conferences.png in %s\n",
              ok ? "wrote" : "could not write", dir.c_str());
  std::fflush(stdout);
  // The pages hold the link; nothing of the program outlives this.
  std::_Exit(ok ? 0 : 1);
}
