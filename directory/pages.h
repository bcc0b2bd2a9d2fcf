// The Directory Server window: its two pages, Active Users and Conferences, as toolkit-free
// presenters over one view. The pages keep the lists (sorted by their first column, so the
// same rows in the same order in every front end), the conference table and the local user's
// conference; received messages are executed here on the window thread, and what concerns
// the host program goes to it as notifications.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "directory/link.h"
#include "directory/prompts.h"
#include "directory/sorted_rows.h"
#include "ui/view.h"

namespace zep::directory {

// What a server can make the lists hold at most; reaching a cap is said once.
inline constexpr int kMaxUsers = 16384;
inline constexpr int kMaxConferences = 4096;
inline constexpr std::size_t kMaxParticipants = 256;  // of one conference
inline constexpr const char* kUsersFull =
    "The Active Users list is full: further users are not shown";
inline constexpr const char* kConferencesFull =
    "The Conference list is full: further conferences are not shown";
inline constexpr const char* kParticipantsFull =
    "A conference has more participants than can be listed: further ones are not shown";

// Where notifications for the host go (the host window's posted commands).
class HostWindow {
 public:
  virtual ~HostWindow() = default;
  // second: a user id, a ParticipantRecord* made with malloc (the host frees it), or 0.
  virtual void notify(std::uint16_t code, std::uint16_t low, std::uintptr_t second) = 0;
};

// A text as one cell of a list: tabs and line ends would split the row.
std::string cell(const std::string& text);

class ActiveUsersPage {
 public:
  ActiveUsersPage(HostWindow& host, Prompts& prompts) : host_(host), prompts_(prompts) {}
  void attach(ui::View& view) { view_ = &view; }
  void clear();

  void onRegister(const Registration& r);
  void onUnregister(net::Ipv4 userId);
  void onAdmitAsked(const IdPair& ids);
  void select(int index);
  void call();

  // The first column of the user's row, cut to size - 1 characters; nullopt when not listed.
  std::optional<std::string> nameOf(net::Ipv4 userId, std::size_t size) const;
  const SortedRows& rows() const { return rows_; }
  int selectedIndex() const { return selected_ ? rows_.indexOfSerial(*selected_) : -1; }

 private:
  HostWindow& host_;
  Prompts& prompts_;
  ui::View* view_ = nullptr;
  SortedRows rows_;
  std::optional<std::uint64_t> selected_;
  bool full_ = false;  // said so
};

class ConferencesPage {
 public:
  using ConferenceTable = std::map<std::uint32_t, std::vector<net::Ipv4>>;

  ConferencesPage(ServerLink& link, HostWindow& host, const ActiveUsersPage& users,
                  Prompts& prompts)
      : link_(link), host_(host), users_(users), prompts_(prompts) {}
  void attach(ui::View& view) { view_ = &view; }
  // Empties the conference and participant lists; with table, also the conference table and
  // the local user's conference (a new connection starts from nothing).
  void clear(bool table);

  void onNewConference(const NewConference& c);
  void onConferenceEntry(const ConferenceEntry& c);
  void onDeleteConference(std::uint32_t conferenceId);
  void onJoin(const IdPair& ids);
  void onLeave(const IdPair& ids);
  void onNotice(const std::string& text);
  void onPasswordAsked(const PasswordText& p);

  void select(int index);
  void newConference();
  void join();
  void leave();

  const ConferenceTable& table() const { return table_; }
  std::optional<std::uint32_t> localConference() const { return local_; }
  const SortedRows& rows() const { return rows_; }
  const SortedRows& participants() const { return participants_; }
  int selectedIndex() const { return selected_ ? rows_.indexOfSerial(*selected_) : -1; }

 private:
  void error(const std::string& text);
  bool isSelected(std::uint32_t conferenceId) const;
  void refreshParticipants(std::uint32_t conferenceId);
  void clearParticipants();
  // One row of the participant list, for a participant who came or went.
  void addParticipantRow(net::Ipv4 userId);
  void removeParticipantRow(net::Ipv4 userId);
  // Takes a participant into the conference's entry unless the entry is full.
  bool addParticipant(std::uint32_t conferenceId, std::vector<net::Ipv4>& participants,
                      net::Ipv4 userId);
  bool roomForConference();
  void notifyParticipant(std::uint16_t code, std::uint16_t low, net::Ipv4 userId);
  std::optional<std::uint32_t> selectedConference() const;

  ServerLink& link_;
  HostWindow& host_;
  const ActiveUsersPage& users_;
  Prompts& prompts_;
  ui::View* view_ = nullptr;
  SortedRows rows_;
  SortedRows participants_;
  ConferenceTable table_;
  std::optional<std::uint32_t> local_;
  std::optional<std::uint64_t> selected_;
  bool full_ = false;                // said that the conference list is full
  std::set<std::uint32_t> crowded_;  // conferences said to be full
};

// The modeless "Directory Server" window: a tab for each page and Close.
class DirectoryServerDialog final : public ui::Presenter, public DirectoryModel {
 public:
  DirectoryServerDialog(ServerLink& link, HostWindow& host)
      : prompts_(link), users_(host, prompts_), conferences_(link, host, users_, prompts_) {}

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onSelect(std::string_view list, int index, const std::string& item) override;
  void onClose() override { view_->close(); }
  void onTimer(int id) override { prompts_.onTimer(id); }
  void onDestroyed() override;

  // The window that gets the focus when Enter is pressed in a page (null: none).
  void setOwner(ui::View* owner) { owner_ = owner; }
  // Runs when the window is destroyed (the host's window is going).
  void setOnDestroyed(std::function<void()> gone) { gone_ = std::move(gone); }

  // Shows the window on tab 0 (Active Users) or 1 (Conferences).
  void show(int tab);
  ui::View* view() const { return view_; }
  ActiveUsersPage& users() { return users_; }
  ConferencesPage& conferences() { return conferences_; }
  Prompts& prompts() { return prompts_; }

  void onRegister(const Registration& r) override { users_.onRegister(r); }
  void onUnregister(net::Ipv4 userId) override { users_.onUnregister(userId); }
  void onAdmitAsked(const IdPair& ids) override { users_.onAdmitAsked(ids); }
  void onNewConference(const NewConference& c) override { conferences_.onNewConference(c); }
  void onConferenceEntry(const ConferenceEntry& c) override { conferences_.onConferenceEntry(c); }
  void onDeleteConference(std::uint32_t id) override { conferences_.onDeleteConference(id); }
  void onJoin(const IdPair& ids) override { conferences_.onJoin(ids); }
  void onLeave(const IdPair& ids) override { conferences_.onLeave(ids); }
  void onNotice(const std::string& text) override { conferences_.onNotice(text); }
  void onPasswordAsked(const PasswordText& p) override { conferences_.onPasswordAsked(p); }

 private:
  void showPage(int tab);
  void closePage();
  ui::View* view_ = nullptr;
  ui::View* owner_ = nullptr;
  std::function<void()> gone_;
  int tab_ = 0;
  Prompts prompts_;
  ActiveUsersPage users_;
  ConferencesPage conferences_;
};

}  // namespace zep::directory
