// The form a first start shows when Kestrel.cfg holds no name or no e-mail address: both are
// needed to register with the Directory Server. OK keeps the form open until both are filled.
#pragma once

#include <string>

#include "kestrel/settings.h"
#include "ui/view.h"

namespace zep::kestrel {

inline constexpr const char* kPersonalInfoTitle = "Kestrel Personal Information Form";
inline constexpr std::size_t kPersonalFieldLength = 29;

class PersonalInfoForm final : public ui::Presenter {
 public:
  explicit PersonalInfoForm(KestrelSettings& settings) : settings_(settings) {}
  // True when the settings lack the name or the e-mail address.
  static bool needed(const KestrelSettings& s) { return s.name.empty() || s.email.empty(); }

  void attach(ui::View& view) override;
  void onText(std::string_view field, const std::string& text) override;
  void onClick(std::string_view control) override;
  // The close box leaves the settings as they were.
  void onClose() override { view_->close(); }

 private:
  KestrelSettings& settings_;
  ui::View* view_ = nullptr;
  std::string name_, email_;
};

}  // namespace zep::kestrel
