// The conference manager's windows: the main panel ("Kestrel Conference Manager"), the Add
// Users dialog and the Archive Panel, as toolkit-free presenters.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "manager/link.h"
#include "manager/plugins.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "ui/view.h"

namespace zep::manager {

class AddUsersDialog;

inline constexpr const char* kPanelTitle = "Kestrel Conference Manager";
inline constexpr int kRingTimes = 10;

struct PanelSettings {
  std::string installDirectory;
  host::HostIdentity host;
  clock::Clock* clock = nullptr;
  sound::AudioSystem* audio = nullptr;  // plays the ring
  std::function<void(int)> exit = [](int code) { std::exit(code); };
  std::function<void(const std::string&)> trace;
  // Variables for the engine's environment, and where its log goes (empty: the manager's own
  // standard streams).
  std::vector<std::pair<std::string, std::string>> engineEnvironment;
  std::string engineLog;
  int engineStartWaitMs = 1500;
  int shutdownWaitMs = 2000;
  int resetWaitMs = 1000;
  int ringPauseMs = 2000;
  int serverTimeoutMs = LinkOptions{}.serverTimeoutMs;
};

class ManagerPanel final : public ui::Presenter {
 public:
  explicit ManagerPanel(PanelSettings settings);
  ~ManagerPanel() override;

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onSelect(std::string_view list, int index, const std::string& item) override;
  void onClose() override;

  // Inviting one "user@host" entry; creates the session first when there is none.
  void invite(const std::string& entry);

  bool inSession() const { return inSession_; }
  bool invitationPending() const { return invitationPending_; }
  const std::vector<Plugin>& plugins() const { return plugins_; }
  std::vector<MemberName> serverUsers() const;
  EngineLink* link() { return link_.get(); }
  bool askingUserServer() const { return queryingUsers_; }
  int pluginStarts() const { return pluginStarts_; }
  // Started plug-ins not yet collected after their end.
  int pluginProcessesLeft();

 private:
  void startUp();
  void shutdown();
  void reset();
  void registerCallbacks();
  void accept();
  void reject();
  void runPlugin(int port);
  void quitPlugin(Plugin& plugin);
  void reapPlugins();
  Plugin* selectedPlugin();
  void showApplicationButtons();
  void startRing();
  void stopRing();
  void openAddUsers();
  void usersQueried(ServerStatus result);
  void openArchive();
  void status(const std::string& text) { view_->setText("Status", text); }
  void error(const std::string& text) { view_->messageBox("Error", text, ui::Icon::kError); }

  PanelSettings settings_;
  ui::View* view_ = nullptr;
  std::thread::id windowThread_;
  std::unique_ptr<EngineLink> link_;
  process::Process engine_;
  std::jthread listener_;
  std::jthread ring_;
  std::vector<Plugin> plugins_;
  int selected_ = -1;
  std::vector<std::string> members_;
  bool inSession_ = false;
  bool invitationPending_ = false;
  MemberName pendingInvitation_;
  mutable std::mutex serverUsersMutex_;
  std::vector<MemberName> serverUsers_;
  bool queryingUsers_ = false;          // the user server is being asked for its active users
  AddUsersDialog* addUsers_ = nullptr;  // while Add Users is open
  int pluginStarts_ = 0;
  std::mutex pluginProcessesMutex_;  // started on the window thread, reaped by the listener
  std::vector<process::Process> pluginProcesses_;
};

// "Add Users": typed entries and active users collected into a list of users to invite.
class AddUsersDialog final : public ui::Presenter {
 public:
  AddUsersDialog(std::vector<MemberName> activeUsers,
                 std::function<void(const std::string&)> invite)
      : activeUsers_(std::move(activeUsers)), invite_(std::move(invite)) {}
  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onSelect(std::string_view list, int index, const std::string& item) override;
  void onText(std::string_view field, const std::string& text) override;
  void onClose() override { view_->close(); }
  const std::vector<std::string>& toInvite() const { return toInvite_; }
  // The user server's answer came while the dialog is open: the list shows it, and an entry
  // that was selected stays selected when it is still there.
  void setActiveUsers(std::vector<MemberName> users);

 private:
  bool listed(const std::string& text) const;
  ui::View* view_ = nullptr;
  std::vector<MemberName> activeUsers_;
  std::function<void(const std::string&)> invite_;
  std::string typed_;
  int activeSelected_ = -1;
  int inviteSelected_ = -1;
  std::vector<std::string> toInvite_;
};

// "Archive Panel": record and replay through the engine.
class ArchivePanel final : public ui::Presenter {
 public:
  explicit ArchivePanel(EngineLink& link) : link_(link) {}
  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onClose() override { onClick("Cancel"); }

 private:
  void stop();
  EngineLink& link_;
  ui::View* view_ = nullptr;
  bool recording_ = false;
  bool playing_ = false;
};

}  // namespace zep::manager
