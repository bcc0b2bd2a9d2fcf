// The Directory Server window's Qt layout: what the keyboard does in it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTreeWidget>

#include "directory/pages.h"
#include "directory/qt_windows.h"
#include "directory/tests/test_support.h"
#include "ui/qt/qt_view.h"
#include "ui/recording_view.h"

namespace zep::directory {
namespace {

QApplication& qtApplication() {
  static int argc = 1;
  static char name[] = "directory_tests";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Kept to the end of the process: destroyed among the other statics, it takes the input
  // devices the key events made with it in the wrong order.
  static auto* app = new QApplication(argc, argv);
  return *app;
}

void pressEnter(QWidget* at) {
  for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(at, &press);
  }
}

// Enter in the Active Users page pressed the window's first button, Call: a call was posted.
TEST(DirectoryQtWindow, EnterInAPagePressesCall) {
  qtApplication();
  testing::MemoryTransport out;
  ServerLink link(&out);
  link.connect("", 0);
  testing::FakeHost host;
  DirectoryServerDialog dialog(link, host);
  ui::RecordingView owner;
  dialog.setOwner(&owner);
  ui::qt::QtApp app;
  addQtWindows(app);
  auto window = app.build(kDialogTitle, dialog, true);
  dialog.attach(*window);
  dialog.onRegister({testing::ip("10.0.0.2"), "bob", "", "b@x"});
  dialog.show(0);
  auto* users = static_cast<QTreeWidget*>(window->control("User list"));
  users->setCurrentItem(users->topLevelItem(0));
  ASSERT_EQ(0, dialog.users().selectedIndex());
  for (QPushButton* b : window->widget()->findChildren<QPushButton*>())
    EXPECT_FALSE(b->isDefault() || b->autoDefault()) << b->text().toStdString();

  pressEnter(users);
  EXPECT_TRUE(host.got.empty()) << "no call";
  EXPECT_FALSE(window->control("Active Users page")->isVisible());
  EXPECT_TRUE(owner.isVisible("")) << "the owner has the focus";
  // Enter on the focused Call button is the page's Enter too; the dialog itself presses none.
  dialog.show(0);
  pressEnter(window->control("Call"));
  pressEnter(window->widget());
  EXPECT_TRUE(host.got.empty());
  dialog.onClick("Call");
  EXPECT_EQ(1u, host.got.size()) << "Call itself still calls";
  dialog.onDestroyed();
}

}  // namespace
}  // namespace zep::directory
