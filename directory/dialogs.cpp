#include "directory/dialogs.h"

namespace zep::directory {

void ConferenceDialog::attach(ui::View& view) {
  view_ = &view;
  view.setText("Topic", topic_);
  view.setChecked("Open", true);
}

void ConferenceDialog::onText(std::string_view field, const std::string& text) {
  if (field == "Topic") topic_ = text;
}

void ConferenceDialog::askPassword() {
  // Asked until both fields agree; Cancel leaves no password.
  for (;;) {
    PasswordDialog ask(true);
    view_->runDialog(PasswordDialog::kTitle, ask);
    if (!ask.accepted()) {
      password_.clear();
      return;
    }
    password_ = ask.password();
    if (ask.password() == ask.confirmation()) return;
  }
}

void ConferenceDialog::onClick(std::string_view control) {
  if (control == "Open") {
    kind_ = kOpen;
  } else if (control == "Restricted") {
    kind_ = kRestricted;
  } else if (control == "Protected") {
    kind_ = kProtected;
    askPassword();
  } else if (control == "OK" || control == "Cancel") {
    accepted_ = control == "OK";
    view_->close();
  }
}

void PasswordDialog::attach(ui::View& view) {
  view_ = &view;
  view.setVisible("Confirm Password box", confirm_);
  view.setText("Password", "");
  if (confirm_) view.setText("Confirm Password", "");
}

void PasswordDialog::onText(std::string_view field, const std::string& text) {
  if (field == "Password") password_ = text;
  if (field == "Confirm Password") confirmation_ = text;
}

void PasswordDialog::onClick(std::string_view control) {
  if (control == "OK" || control == "Cancel") {
    accepted_ = control == "OK";
    view_->close();
  }
}

void NewParticipantDialog::attach(ui::View& view) {
  view_ = &view;
  view.setText("Name", name_);
}

void NewParticipantDialog::onClick(std::string_view control) {
  if (control == "Accept" || control == "Reject") {
    accepted_ = control == "Accept";
    view_->close();
  }
}

}  // namespace zep::directory
