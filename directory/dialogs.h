// The directory's modal dialogs as presenters: Conference (topic and type of a new
// conference), the two Protected Conference dialogs and New Participant.
#pragma once

#include <string>

#include "directory/protocol.h"
#include "ui/view.h"

namespace zep::directory {

// "Conference": a topic and the type; choosing Protected asks for a password (twice).
class ConferenceDialog final : public ui::Presenter {
 public:
  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onText(std::string_view field, const std::string& text) override;
  void onClose() override { onClick("Cancel"); }

  bool accepted() const { return accepted_; }
  const std::string& topic() const { return topic_; }
  const std::string& password() const { return password_; }
  std::uint8_t kind() const { return kind_; }

 private:
  void askPassword();
  ui::View* view_ = nullptr;
  std::string topic_, password_;
  std::uint8_t kind_ = kOpen;
  bool accepted_ = false;
};

// "Protected Conference": Password, and with confirm also Confirm Password.
class PasswordDialog final : public ui::Presenter {
 public:
  static constexpr const char* kTitle = "Protected Conference";
  explicit PasswordDialog(bool confirm) : confirm_(confirm) {}
  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onText(std::string_view field, const std::string& text) override;
  void onClose() override { onClick("Cancel"); }

  bool accepted() const { return accepted_; }
  const std::string& password() const { return password_; }
  const std::string& confirmation() const { return confirmation_; }

 private:
  ui::View* view_ = nullptr;
  bool confirm_;
  std::string password_, confirmation_;
  bool accepted_ = false;
};

// "New Participant": who asks to enter; Accept or Reject.
class NewParticipantDialog final : public ui::Presenter {
 public:
  explicit NewParticipantDialog(std::string name) : name_(std::move(name)) {}
  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onClose() override { onClick("Reject"); }
  bool accepted() const { return accepted_; }

 private:
  ui::View* view_ = nullptr;
  std::string name_;
  bool accepted_ = false;
};

}  // namespace zep::directory
