#include "directory/qt_windows.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "directory/dialogs.h"
#include "directory/pages.h"

namespace zep::directory {

using ui::qt::QtWindow;

namespace {

QBoxLayout* layoutOf(QWidget* group) {
  return static_cast<QBoxLayout*>(group->layout());
}

// Enter inside a page is the page's own OK, whatever has the focus there: no button of the
// window is pressed by it (a dialog's first button would be, and on Active Users it is Call).
class EnterIsPageOk final : public QObject {
 public:
  EnterIsPageOk(QWidget* page, QAbstractButton* ok) : QObject(page), ok_(ok) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    ok_->click();
    return true;
  }

 private:
  QAbstractButton* ok_;
};

void directoryServer(QtWindow& w) {
  w.tabs(w.root(), {"Active Users", "Conferences"});
  auto* users = w.page(w.root(), "Active Users page");
  w.table(users, "User list", {{"Name", 150}, {"E-mail", 200}});
  auto* call = new QHBoxLayout;
  users->addLayout(call);
  call->addStretch();
  w.button(call, "Call");
  auto* conferences = w.page(w.root(), "Conferences page");
  w.table(conferences, "Conference list", {{"Topic", 270}});
  conferences->addWidget(new QLabel("Participants"));
  w.table(conferences, "Participants", {{"Name", 150}, {"E-mail", 200}});
  auto* buttons = new QHBoxLayout;
  conferences->addLayout(buttons);
  for (const char* b : {"New", "Delete", "Join", "Leave"}) w.button(buttons, b);
  auto* bottom = new QHBoxLayout;
  w.root()->addLayout(bottom);
  bottom->addStretch();
  w.button(bottom, "Close");
  // The pages' OK: never seen, pressed by Enter in a page. Enter a page leaves alone reaches
  // the window, which has no default button to press.
  QAbstractButton* ok = w.button(bottom, "OK");
  ok->hide();
  for (QPushButton* b : w.widget()->findChildren<QPushButton*>()) {
    b->setAutoDefault(false);
    b->setDefault(false);
  }
  for (const char* name : {"Active Users page", "Conferences page"}) {
    // A key the focused control leaves goes on to the page, where this takes Enter.
    QWidget* page = w.control(name);
    page->installEventFilter(new EnterIsPageOk(page, ok));
  }
  w.widget()->resize(400, 440);
}

void conference(QtWindow& w) {
  auto* topic = layoutOf(w.group(w.root(), "Topic", true));
  w.field(topic, "Topic", false);
  auto* type = layoutOf(w.group(w.root(), "Type", false));
  for (const char* t : {"Open", "Restricted", "Protected"}) w.radio(type, t);
  auto* bottom = new QHBoxLayout;
  w.root()->addLayout(bottom);
  w.button(bottom, "OK");
  w.button(bottom, "Cancel");
}

void protectedConference(QtWindow& w) {
  auto* password = layoutOf(w.group(w.root(), "Password", true));
  w.field(password, "Password", false)->setEchoMode(QLineEdit::Password);
  auto* confirm = w.page(w.root(), "Confirm Password box");
  auto* group = layoutOf(w.group(confirm, "Confirm Password", true));
  w.field(group, "Confirm Password", false)->setEchoMode(QLineEdit::Password);
  auto* bottom = new QHBoxLayout;
  w.root()->addLayout(bottom);
  w.button(bottom, "OK");
  w.button(bottom, "Cancel");
}

void newParticipant(QtWindow& w) {
  auto* name = layoutOf(w.group(w.root(), "Name", true));
  w.field(name, "Name", true);
  auto* bottom = new QHBoxLayout;
  w.root()->addLayout(bottom);
  w.button(bottom, "Accept");
  w.button(bottom, "Reject");
}

}  // namespace

void addQtWindows(ui::qt::QtApp& app) {
  app.addWindow(kDialogTitle, directoryServer);
  app.addWindow("Conference", conference);
  app.addWindow(PasswordDialog::kTitle, protectedConference);
  app.addWindow("New Participant", newParticipant);
}

}  // namespace zep::directory
