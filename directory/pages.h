// The Directory Server window: its two pages, Active Users and Conferences, as toolkit-free
// presenters over one view. The pages keep the lists (sorted by their first column, so the
// same rows in the same order in every front end), the conference table and the local user's
// conference; received messages are executed here on the window thread, and what concerns
// the host program goes to it as notifications.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "directory/link.h"
#include "directory/sorted_rows.h"
#include "ui/view.h"

namespace zep::directory {

inline constexpr const char* kDialogTitle = "Directory Server";

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
  ActiveUsersPage(ServerLink& link, HostWindow& host) : link_(link), host_(host) {}
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
  void error(const std::string& text);
  ServerLink& link_;
  HostWindow& host_;
  ui::View* view_ = nullptr;
  SortedRows rows_;
  std::optional<std::uint64_t> selected_;
};

class ConferencesPage {
 public:
  using ConferenceTable = std::map<std::uint32_t, std::vector<net::Ipv4>>;

  ConferencesPage(ServerLink& link, HostWindow& host, const ActiveUsersPage& users)
      : link_(link), host_(host), users_(users) {}
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
  void notifyParticipant(std::uint16_t code, std::uint16_t low, net::Ipv4 userId);
  std::optional<std::uint32_t> selectedConference() const;

  ServerLink& link_;
  HostWindow& host_;
  const ActiveUsersPage& users_;
  ui::View* view_ = nullptr;
  SortedRows rows_;
  SortedRows participants_;
  ConferenceTable table_;
  std::optional<std::uint32_t> local_;
  std::optional<std::uint64_t> selected_;
};

// The modeless "Directory Server" window: a tab for each page and Close.
class DirectoryServerDialog final : public ui::Presenter, public DirectoryModel {
 public:
  DirectoryServerDialog(ServerLink& link, HostWindow& host)
      : users_(link, host), conferences_(link, host, users_) {}

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onSelect(std::string_view list, int index, const std::string& item) override;
  void onClose() override { view_->close(); }

  // Shows the window on tab 0 (Active Users) or 1 (Conferences).
  void show(int tab);
  ui::View* view() const { return view_; }
  ActiveUsersPage& users() { return users_; }
  ConferencesPage& conferences() { return conferences_; }

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
  ui::View* view_ = nullptr;
  ActiveUsersPage users_;
  ConferencesPage conferences_;
};

}  // namespace zep::directory
