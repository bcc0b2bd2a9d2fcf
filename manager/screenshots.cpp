// Draws the manager's main window and Add Users dialog, filled as in a session, into PNG files
// so a person can look at them: screenshots DIRECTORY.
#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "manager/panel.h"
#include "manager/qt_windows.h"

namespace {
class Still final : public zep::ui::Presenter {
 public:
  void attach(zep::ui::View&) override {}
  void onClick(std::string_view) override {}
};
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  QApplication qt(argc, argv);
  zep::ui::qt::QtApp app;
  zep::manager::addQtWindows(app);
  Still still;
  auto main = app.build(zep::manager::kPanelTitle, still, false);
  main->setText("Status", "RECEIVED INVITATION from carol@host-c");
  for (const char* m : {"alice@host-a", "bob@host-b"}) main->addItem("Members", m);
  for (const char* a : {"Audio tool", "Video tool"}) main->addItem("Applications", a);
  main->setPicture("Ring", "ringing");
  main->setEnabled("Run", false);
  main->setEnabled("Quit", false);
  main->setEnabled("Info", false);
  main->widget()->show();
  auto dialog = app.build("Add Users", still, true);
  dialog->setText("User", "dave@host-d");
  for (const char* u : {"alice@host-a", "bob@host-b", "carol@host-c"})
    dialog->addItem("Active Users", u);
  dialog->addItem("Invite", "bob@host-b");
  dialog->widget()->show();
  QApplication::processEvents();
  std::string dir = argv[1];
  bool ok = main->widget()->grab().save(QString::fromStdString(dir + "/manager-main.png")) &&
            dialog->widget()->grab().save(QString::fromStdString(dir + "/manager-add-users.png"));
  std::printf("%s %s/manager-main.png and %s/manager-add-users.png\n",
              ok ? "wrote" : "could not write", dir.c_str(), dir.c_str());
  return ok ? 0 : 1;
}
