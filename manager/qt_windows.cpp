#include "manager/qt_windows.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

#include "manager/panel.h"

namespace zep::manager {

using ui::qt::QtWindow;

namespace {

QBoxLayout* layoutOf(QWidget* group) {
  return static_cast<QBoxLayout*>(group->layout());
}

void mainWindow(QtWindow& w) {
  auto* top = new QHBoxLayout;
  w.root()->addLayout(top);
  auto* members = layoutOf(w.group(top, "Members", true));
  w.button(members, "Add");
  auto* invitations = layoutOf(w.group(top, "Invitations", true));
  w.button(invitations, "Accept");
  w.button(invitations, "Reject");
  w.pictureButton(invitations, "Ring");
  auto* middle = new QHBoxLayout;
  w.root()->addLayout(middle);
  auto* applications = layoutOf(w.group(middle, "Applications", true));
  w.button(applications, "Run");
  w.button(applications, "Quit");
  w.button(applications, "Info");
  w.picture(middle, "product");
  auto* status = layoutOf(w.group(w.root(), "Status", true));
  w.field(status, "Status", true);
  auto* info = layoutOf(w.group(w.root(), "Info", true));
  for (const char* name : {"Applications", "Members"}) {
    auto* column = new QVBoxLayout;
    info->addLayout(column);
    column->addWidget(new QLabel(name));
    w.list(column, name, std::string(name) == "Members");  // members are kept sorted
  }
  w.menu("File", {"Reset session", "Exit"});
  w.menu("Member", {"Add member"});
  w.menu("Invitation", {"Accept", "Reject"});
  w.menu("Application", {"Run", "Quit", "Info"});
  w.menu("Archive", {"Archive Panel"});
  w.menu("Help", {"Overview"});
  w.widget()->resize(520, 460);
}

void addUsersDialog(QtWindow& w) {
  auto* user = layoutOf(w.group(w.root(), "User", true));
  w.field(user, "User", false)->setMaxLength(70);
  auto* active = layoutOf(w.group(w.root(), "Active Users", true));
  w.list(active, "Active Users", false);
  auto* buttons = new QVBoxLayout;
  active->addLayout(buttons);
  w.button(buttons, "Add ->");
  w.button(buttons, "<- Delete");
  w.list(active, "Invite", false);
  auto* bottom = new QHBoxLayout;
  w.root()->addLayout(bottom);
  w.button(bottom, "OK");
  w.button(bottom, "Cancel");
}

void archivePanel(QtWindow& w) {
  auto* control = layoutOf(w.group(w.root(), "Control", true));
  w.button(control, "Record");
  w.button(control, "Play");
  w.button(control, "Stop");
  auto* position = layoutOf(w.group(w.root(), "Position", true));
  w.slider(position, "Position", 0, 100);
  auto* status = layoutOf(w.group(w.root(), "Status", true));
  w.field(status, "Status", true);
  auto* bottom = new QHBoxLayout;
  w.root()->addLayout(bottom);
  w.button(bottom, "OK");
  w.button(bottom, "Cancel");
}

}  // namespace

void addQtWindows(ui::qt::QtApp& app) {
  app.addWindow(kPanelTitle, mainWindow);
  app.addWindow("Add Users", addUsersDialog);
  app.addWindow("Archive Panel", archivePanel);
}

}  // namespace zep::manager
