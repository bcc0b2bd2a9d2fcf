#include "directory/pages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "directory/dialogs.h"
#include "directory/dirlink.h"

namespace zep::directory {

namespace {
constexpr const char* kUserListControl = "User list";
constexpr const char* kConferenceListControl = "Conference list";
constexpr const char* kParticipants = "Participants";

std::string rowText(const SortedRows::Row& r) {
  return r.first + "\t" + r.second;
}
}  // namespace

std::string cell(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return out;
}

// --- Active Users ---

void ActiveUsersPage::clear() {
  rows_.clear();
  selected_.reset();
  full_ = false;
  view_->clearItems(kUserListControl);
}

void ActiveUsersPage::onRegister(const Registration& r) {
  if (rows_.size() >= kMaxUsers) {
    if (!std::exchange(full_, true)) prompts_.notice(kUsersFull, ui::Icon::kWarning);
    return;
  }
  // A second registration of the same id is a second row.
  int index = rows_.insert(cell(r.name), cell(r.email), r.userId);
  view_->insertItem(kUserListControl, index, rowText(rows_.at(index)));
}

void ActiveUsersPage::onUnregister(net::Ipv4 userId) {
  int index = rows_.find(userId);
  if (index < 0)
    return prompts_.notice("(msgCUNREG<HEADER>::execute) Item not found", ui::Icon::kError);
  if (selected_ && rows_.at(index).serial == *selected_) selected_.reset();
  rows_.removeAt(index);
  full_ = false;
  view_->removeItemAt(kUserListControl, index);
}

std::optional<std::string> ActiveUsersPage::nameOf(net::Ipv4 userId, std::size_t size) const {
  int index = rows_.find(userId);
  if (index < 0) return std::nullopt;
  return rows_.at(index).first.substr(0, size - 1);
}

void ActiveUsersPage::onAdmitAsked(const IdPair& ids) {
  prompts_.askAdmission(ids.conferenceId, ids.userId, nameOf(ids.userId, 128).value_or("user"));
}

void ActiveUsersPage::select(int index) {
  if (index < 0 || index >= rows_.size())
    selected_.reset();
  else
    selected_ = rows_.at(index).serial;
}

void ActiveUsersPage::call() {
  int index = selectedIndex();
  if (index < 0) return;
  host_.notify(DSN_CALLUSER, 0, rows_.at(index).key);
}

// --- Conferences ---

void ConferencesPage::error(const std::string& text) {
  prompts_.notice(text, ui::Icon::kError);
}

void ConferencesPage::clear(bool table) {
  rows_.clear();
  selected_.reset();
  full_ = false;
  view_->clearItems(kConferenceListControl);
  clearParticipants();
  if (table) {
    table_.clear();
    crowded_.clear();
    local_.reset();
  }
}

bool ConferencesPage::roomForConference() {
  if (rows_.size() < kMaxConferences) return true;
  if (!std::exchange(full_, true)) prompts_.notice(kConferencesFull, ui::Icon::kWarning);
  return false;
}

bool ConferencesPage::addParticipant(std::uint32_t conferenceId,
                                     std::vector<net::Ipv4>& participants, net::Ipv4 userId) {
  if (participants.size() < kMaxParticipants) {
    participants.push_back(userId);
    return true;
  }
  if (crowded_.insert(conferenceId).second) prompts_.notice(kParticipantsFull, ui::Icon::kWarning);
  return false;
}

void ConferencesPage::clearParticipants() {
  participants_.clear();
  view_->clearItems(kParticipants);
}

std::optional<std::uint32_t> ConferencesPage::selectedConference() const {
  int index = selectedIndex();
  if (index < 0) return std::nullopt;
  return rows_.at(index).key;
}

bool ConferencesPage::isSelected(std::uint32_t conferenceId) const {
  auto selected = selectedConference();
  return selected && *selected == conferenceId;
}

void ConferencesPage::refreshParticipants(std::uint32_t conferenceId) {
  if (rows_.find(conferenceId) < 0) return error("Cannot find this conference");
  clearParticipants();
  auto entry = table_.find(conferenceId);
  if (entry == table_.end()) return;
  // Nothing here opens a dialog (errors wait in the queue), so the entry stays as it is.
  for (net::Ipv4 id : entry->second) addParticipantRow(id);
}

void ConferencesPage::addParticipantRow(net::Ipv4 userId) {
  int user = users_.rows().find(userId);
  if (user < 0) return error("Participant not found");
  const auto& u = users_.rows().at(user);
  int index = participants_.insert(u.first.substr(0, 127), u.second.substr(0, 127), userId);
  view_->insertItem(kParticipants, index, rowText(participants_.at(index)));
}

void ConferencesPage::removeParticipantRow(net::Ipv4 userId) {
  // Rows of one user id are alike: whichever goes, the list shows the same.
  int index = participants_.find(userId);
  if (index < 0) return;
  participants_.removeAt(index);
  view_->removeItemAt(kParticipants, index);
}

void ConferencesPage::notifyParticipant(std::uint16_t code, std::uint16_t low, net::Ipv4 userId) {
  auto* record = static_cast<ParticipantRecord*>(std::calloc(1, sizeof(ParticipantRecord)));
  if (!record) return;
  std::string name = users_.nameOf(userId, sizeof record->name).value_or("user");
  std::memcpy(record->name, name.data(), std::min(name.size(), sizeof record->name - 1));
  record->userId = userId;
  host_.notify(code, low, reinterpret_cast<std::uintptr_t>(record));
}

void ConferencesPage::onNewConference(const NewConference& c) {
  if (!roomForConference()) return;
  auto& participants = table_[c.conferenceId];
  addParticipant(c.conferenceId, participants, c.creator);
  int index = rows_.insert(cell(c.topic), "", c.conferenceId);
  view_->insertItem(kConferenceListControl, index, rows_.at(index).first);
  if (c.creator == link_.localAddress()) {
    local_ = c.conferenceId;
    notifyParticipant(DSN_CONFENTERED, static_cast<std::uint16_t>(participants.size()), c.creator);
  }
}

void ConferencesPage::onConferenceEntry(const ConferenceEntry& c) {
  if (!roomForConference()) return;
  int index = rows_.insert(cell(c.topic), "", c.conferenceId);
  view_->insertItem(kConferenceListControl, index, rows_.at(index).first);
  // A listed conference has its entry even with nobody in it yet, so that it can be entered.
  auto& participants = table_[c.conferenceId];
  for (net::Ipv4 id : c.participants)
    if (!addParticipant(c.conferenceId, participants, id)) break;
}

void ConferencesPage::onDeleteConference(std::uint32_t conferenceId) {
  int index = rows_.find(conferenceId);
  if (index < 0) return error("Conference not found");
  bool wasSelected = selectedIndex() == index;
  rows_.removeAt(index);
  view_->removeItemAt(kConferenceListControl, index);
  if (wasSelected) selected_.reset();
  // The row that now stands where the deleted one stood becomes the selected row.
  if (index >= rows_.size()) {
    clearParticipants();
  } else {
    selected_ = rows_.at(index).serial;
    view_->selectItem(kConferenceListControl, index);
    refreshParticipants(rows_.at(index).key);
  }
  if (local_ == conferenceId) local_.reset();
  crowded_.erase(conferenceId);
  if (!table_.erase(conferenceId)) error("Conference info not found");
}

void ConferencesPage::onJoin(const IdPair& ids) {
  if (rows_.find(ids.conferenceId) < 0) return error("Conference not found");
  auto entry = table_.find(ids.conferenceId);
  if (entry == table_.end()) return error("Conference info not found");
  auto& participants = entry->second;
  if (!addParticipant(ids.conferenceId, participants, ids.userId)) return;
  // Only the newcomer's row: the rest of the list is as it was.
  if (isSelected(ids.conferenceId)) addParticipantRow(ids.userId);
  if (local_ == ids.conferenceId) notifyParticipant(DSN_PARTICIPANTJOINED, 0, ids.userId);
  if (ids.userId == link_.localAddress()) {
    local_ = ids.conferenceId;
    // Copied: the host hears of everyone already there, the local user last.
    std::vector<net::Ipv4> present = participants;
    notifyParticipant(DSN_CONFENTERED, static_cast<std::uint16_t>(present.size()), present[0]);
    for (std::size_t i = 1; i < present.size(); ++i)
      notifyParticipant(DSN_PARTICIPANTJOINED, 0, present[i]);
  }
}

void ConferencesPage::onLeave(const IdPair& ids) {
  if (rows_.find(ids.conferenceId) < 0) return error("Conference not found");
  auto entry = table_.find(ids.conferenceId);
  if (entry == table_.end()) return error("Conference info not found");
  auto& participants = entry->second;
  auto at = std::find(participants.begin(), participants.end(), ids.userId);
  if (at == participants.end()) return error("User info not found");
  participants.erase(at);
  if (isSelected(ids.conferenceId)) removeParticipantRow(ids.userId);
  if (local_ == ids.conferenceId) {
    notifyParticipant(DSN_PARTICIPANTLEFT, 0, ids.userId);
    if (ids.userId == link_.localAddress()) {
      // Left: later comings and goings there are no longer the host's concern.
      local_.reset();
      host_.notify(DSN_CONFLEFT, 0, 0);
    }
  } else if (ids.userId == link_.localAddress()) {
    host_.notify(DSN_CONFLEFT, 0, 0);
  }
}

void ConferencesPage::onNotice(const std::string& text) {
  prompts_.notice(text, ui::Icon::kInformation);
}

void ConferencesPage::onPasswordAsked(const PasswordText& p) {
  prompts_.askPassword(p.conferenceId);
}

void ConferencesPage::select(int index) {
  if (index < 0 || index >= rows_.size()) {
    selected_.reset();
    return;
  }
  selected_ = rows_.at(index).serial;
  refreshParticipants(rows_.at(index).key);
}

void ConferencesPage::newConference() {
  ConferenceDialog ask;
  view_->runDialog("Conference", ask);
  if (!ask.accepted()) return;
  // The user's own mistakes are said at once: the user is looking at the dialog just closed.
  auto say = [this](const char* text) { view_->messageBox(kDialogTitle, text, ui::Icon::kError); };
  if (ask.kind() == kProtected && ask.password().empty())
    return say("You have to specify a password for protected conference");
  if (ask.topic().empty()) return say("You have to specify a conference topic");
  // The password goes whatever the type: one typed before switching back to Open included.
  link_.createConference(ask.kind(), ask.topic(), ask.password());
}

void ConferencesPage::join() {
  if (auto id = selectedConference()) link_.join(*id);
}

void ConferencesPage::leave() {
  if (auto id = selectedConference()) link_.leave(*id);
}

// --- the window ---

void DirectoryServerDialog::attach(ui::View& view) {
  view_ = &view;
  prompts_.attach(view);
  users_.attach(view);
  conferences_.attach(view);
  showPage(0);
}

void DirectoryServerDialog::onDestroyed() {
  prompts_.detach();
  view_ = nullptr;
  owner_ = nullptr;
  if (gone_) gone_();
}

void DirectoryServerDialog::showPage(int tab) {
  tab_ = tab;
  view_->setVisible(tab == 0 ? "Conferences page" : "Active Users page", false);
  view_->setChecked(tab == 0 ? "Conferences" : "Active Users", false);
  view_->setChecked(tab == 0 ? "Active Users" : "Conferences", true);
  view_->setVisible(tab == 0 ? "Active Users page" : "Conferences page", true);
}

void DirectoryServerDialog::show(int tab) {
  view_->setVisible("", true);
  showPage(tab);
}

void DirectoryServerDialog::onClick(std::string_view control) {
  if (control == "Active Users")
    showPage(0);
  else if (control == "Conferences")
    showPage(1);
  else if (control == "Close")
    view_->close();
  else if (control == "OK")
    closePage();
  else if (control == "Call")
    users_.call();
  else if (control == "New")
    conferences_.newConference();
  else if (control == "Join")
    conferences_.join();
  else if (control == "Leave")
    conferences_.leave();
  // "Delete" has no action: conferences go when the server deletes them.
}

void DirectoryServerDialog::closePage() {
  // Enter in a page: the page is put away and its owner, the host's window, comes forward.
  view_->setVisible(tab_ == 0 ? "Active Users page" : "Conferences page", false);
  if (owner_) owner_->setVisible("", true);
}

void DirectoryServerDialog::onSelect(std::string_view list, int index, const std::string&) {
  if (list == kUserListControl) users_.select(index);
  if (list == kConferenceListControl) conferences_.select(index);
}

}  // namespace zep::directory
