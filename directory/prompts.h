// What the Directory Server puts to the user: its questions (a conference's password, whether
// to admit someone) and notices, with the library's own error messages about what it sent.
// They wait in a short queue and are put to the user one at a time, each only while no other
// modal dialog or message box runs its loop: a flood of them never nests one box inside
// another, and the code that queued one never holds anything across the dialog.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "directory/link.h"
#include "ui/view.h"

namespace zep::directory {

inline constexpr const char* kDialogTitle = "Directory Server";

class Prompts {
 public:
  // Questions and notices waiting at most; what comes beyond is dropped (an admission is
  // answered with a rejection) and the user is told once the queue has been worked off.
  static constexpr std::size_t kMaxWaiting = 16;
  static constexpr const char* kDropped =
      "The Directory Server sent more questions and notices than can wait: some were dropped";
  // While another modal dialog is open, the queue is looked at again this often.
  static constexpr int kRetryTimer = 0x5052;
  static constexpr int kRetryMs = 200;

  explicit Prompts(ServerLink& link) : link_(link) {}
  void attach(ui::View& view) { view_ = &view; }
  // The window is gone: nothing more is shown or posted.
  void detach() { view_ = nullptr; }

  // A notice; one equal to a notice already waiting is not queued twice.
  void notice(const std::string& text, ui::Icon icon);
  // A question of a conference's password (only one per conference waits).
  void askPassword(std::uint32_t conferenceId);
  // Whether to admit userId, shown by name (only one per conference and user waits).
  void askAdmission(std::uint32_t conferenceId, net::Ipv4 userId, const std::string& name);
  // A new connection: what waits belongs to the old one, and so would its answers.
  void clear();

  // Puts what waits to the user, one at a time, on the window thread.
  void showNext();
  void onTimer(int id);

  std::size_t waiting() const { return waiting_.size(); }
  bool showing() const { return current_.has_value(); }

 private:
  enum class Kind { kNotice, kPassword, kAdmission };
  struct Prompt {
    Kind kind;
    std::string text;  // the notice, or the name of who asks to enter
    ui::Icon icon = ui::Icon::kNone;
    std::uint32_t conferenceId = 0;
    net::Ipv4 userId = 0;
    bool operator==(const Prompt& o) const {
      return kind == o.kind && conferenceId == o.conferenceId && userId == o.userId &&
             (kind != Kind::kNotice || (text == o.text && icon == o.icon));
    }
  };
  void queue(Prompt prompt);
  void show(const Prompt& prompt);
  void schedule();
  void retryLater();

  ServerLink& link_;
  ui::View* view_ = nullptr;
  std::deque<Prompt> waiting_;
  std::optional<Prompt> current_;
  bool posted_ = false;
  bool retrying_ = false;
  bool dropped_ = false;
  unsigned generation_ = 0;
};

}  // namespace zep::directory
