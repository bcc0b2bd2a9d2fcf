#include "directory/prompts.h"

#include <algorithm>

#include "directory/dialogs.h"

namespace zep::directory {

void Prompts::queue(Prompt prompt) {
  if (current_ == prompt || std::find(waiting_.begin(), waiting_.end(), prompt) != waiting_.end())
    return;
  if (waiting_.size() >= kMaxWaiting) {
    dropped_ = true;
    // Nobody will be asked: the one who waits hears no rather than nothing.
    if (prompt.kind == Kind::kAdmission) link_.answerAdmission(0, prompt.userId);
    return;
  }
  waiting_.push_back(std::move(prompt));
  schedule();
}

void Prompts::notice(const std::string& text, ui::Icon icon) {
  queue({Kind::kNotice, text, icon});
}

void Prompts::askPassword(std::uint32_t conferenceId) {
  queue({Kind::kPassword, "", ui::Icon::kNone, conferenceId});
}

void Prompts::askAdmission(std::uint32_t conferenceId, net::Ipv4 userId, const std::string& name) {
  queue({Kind::kAdmission, name, ui::Icon::kNone, conferenceId, userId});
}

void Prompts::clear() {
  waiting_.clear();
  dropped_ = false;
  ++generation_;
}

void Prompts::schedule() {
  if (posted_ || current_ || !view_) return;
  posted_ = true;
  view_->post([this] {
    posted_ = false;
    showNext();
  });
}

void Prompts::retryLater() {
  if (retrying_) return;
  retrying_ = true;
  view_->startTimer(kRetryTimer, kRetryMs);
}

void Prompts::onTimer(int id) {
  if (id == kRetryTimer) showNext();
}

void Prompts::showNext() {
  if (!view_ || current_) return;
  for (;;) {
    if (waiting_.empty() && dropped_) {
      dropped_ = false;
      waiting_.push_back({Kind::kNotice, kDropped, ui::Icon::kWarning});
    }
    if (waiting_.empty()) break;
    // Never inside another dialog's loop: the queue waits until that one is closed.
    if (view_->modalOpen()) return retryLater();
    current_ = std::move(waiting_.front());
    waiting_.pop_front();
    Prompt shown = *current_;
    show(shown);
    current_.reset();
    if (!view_) return;
  }
  if (retrying_) {
    retrying_ = false;
    view_->stopTimer(kRetryTimer);
  }
}

void Prompts::show(const Prompt& p) {
  unsigned generation = generation_;
  switch (p.kind) {
    case Kind::kNotice:
      view_->messageBox(kDialogTitle, p.text, p.icon);
      return;
    case Kind::kPassword: {
      PasswordDialog ask(false);
      view_->runDialog(PasswordDialog::kTitle, ask);
      // An empty password sends nothing; nor does an answer meant for an earlier connection.
      if (ask.accepted() && !ask.password().empty() && generation == generation_)
        link_.answerPassword(p.conferenceId, ask.password());
      return;
    }
    case Kind::kAdmission: {
      NewParticipantDialog ask(p.text);
      view_->runDialog("New Participant", ask);
      if (generation == generation_)
        link_.answerAdmission(ask.accepted() ? p.conferenceId : 0, p.userId);
      return;
    }
  }
}

}  // namespace zep::directory
