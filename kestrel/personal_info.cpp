#include "kestrel/personal_info.h"

namespace zep::kestrel {

void PersonalInfoForm::attach(ui::View& view) {
  view_ = &view;
  name_ = settings_.name;
  email_ = settings_.email;
  view.setText("Your name:", name_);
  view.setText("Email address:", email_);
}

void PersonalInfoForm::onText(std::string_view field, const std::string& text) {
  if (field == "Your name:") name_ = text;
  if (field == "Email address:") email_ = text;
}

void PersonalInfoForm::onClick(std::string_view control) {
  if (control != "OK") return;
  settings_.name = name_.substr(0, kPersonalFieldLength);
  settings_.email = email_.substr(0, kPersonalFieldLength);
  if (settings_.name.empty() || settings_.email.empty()) {
    view_->messageBox(kPersonalInfoTitle, "You must fill all the fields", ui::Icon::kWarning);
    return;
  }
  view_->close();
}

}  // namespace zep::kestrel
