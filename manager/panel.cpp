#include "manager/panel.h"

#include <algorithm>
#include <cctype>

namespace zep::manager {

using namespace engine;

ManagerPanel::ManagerPanel(PanelSettings settings) : settings_(std::move(settings)) {}

ManagerPanel::~ManagerPanel() {
  stopRing();
  if (listener_.joinable()) {
    listener_.request_stop();
    listener_.join();
  }
  // The link's exchanges still running report into the members below: they go first.
  link_.reset();
}

void ManagerPanel::attach(ui::View& view) {
  view_ = &view;
  windowThread_ = std::this_thread::get_id();
  view.setPicture("Ring", "idle");
  for (const char* c : {"Accept", "Reject", "Run", "Quit", "Info"}) view.setEnabled(c, false);
  startUp();
}

void ManagerPanel::startUp() {
  status("Initialization...please wait");
  std::string why;
  process::StartOptions options;
  options.environment = settings_.engineEnvironment;
  options.stdoutPath = options.stderrPath = settings_.engineLog;
  engine_ = process::start(settings_.installDirectory + "/Core/KSengine", options, &why);
  if (!engine_.started()) error("Create process error");
  settings_.clock->sleep(settings_.engineStartWaitMs);

  LinkOptions o;
  o.host = settings_.host;
  o.installDirectory = settings_.installDirectory;
  o.trace = settings_.trace;
  o.serverTimeoutMs = settings_.serverTimeoutMs;
  // The program ends on the window thread: the listener, which learns that the engine is
  // gone, posts the end there instead of tearing the program down beneath the window.
  o.exit = [this](int code) {
    if (std::this_thread::get_id() == windowThread_)
      settings_.exit(code);
    else
      view_->post([this, code] { settings_.exit(code); });
  };
  link_ = std::make_unique<EngineLink>(o);
  if (!link_->linkStart()) {
    error("Session initialization error");
    return;
  }
  registerCallbacks();
  listener_ = std::jthread([this](std::stop_token stop) {
    // A channel that has ended is not read again.
    while (!stop.stop_requested() && link_->socket() >= 0) {
      link_->pollLink(100);
      reapPlugins();
    }
  });
  auto plugins = readPlugins(settings_.installDirectory);
  if (!plugins) error("Can't read file");
  plugins_ = plugins.value_or(std::vector<Plugin>{});
  for (const auto& p : plugins_) view_->addItem("Applications", p.name);
  status("Conferencing panel ready to use");
}

void ManagerPanel::registerCallbacks() {
  // Callbacks run on the listener thread; everything they change happens on the window thread.
  auto onWindow = [this](std::function<void(const ControlEvent&)> handler) {
    return [this, handler](const ControlEvent& e) {
      view_->post([handler, tag = e.tag, member = e.member,
                   payload = std::vector<std::uint8_t>(e.payload.begin(), e.payload.end())] {
        ControlEvent copy;
        copy.tag = tag;
        copy.member = member;
        copy.payload = payload;
        handler(copy);
      });
    };
  };
  link_->setControlCallback(CTL_INVITATION, onWindow([this](const ControlEvent& e) {
                              pendingInvitation_ = e.member;
                              invitationPending_ = true;
                              status("RECEIVED INVITATION from " + e.member.text());
                              view_->setEnabled("Accept", true);
                              view_->setEnabled("Reject", true);
                              startRing();
                            }));
  link_->setControlCallback(CTL_ADD_MEMBER, onWindow([this](const ControlEvent& e) {
                              status("New participant joins");
                              // The list is kept sorted, in every front end alike.
                              std::string entry = e.member.text();
                              auto at = std::upper_bound(members_.begin(), members_.end(), entry);
                              int index = static_cast<int>(at - members_.begin());
                              members_.insert(at, entry);
                              view_->insertItem("Members", index, entry);
                            }));
  link_->setControlCallback(CTL_DELETE_MEMBER, onWindow([this](const ControlEvent& e) {
                              // Exactly this member's entry: "bob@pc1" is not "bob@pc10".
                              std::string entry = e.member.text();
                              auto it = std::find(members_.begin(), members_.end(), entry);
                              if (it != members_.end()) {
                                view_->removeItem("Members", *it);
                                members_.erase(it);
                              }
                              status(entry + " left");
                            }));
  link_->setControlCallback(CTL_START_APP, onWindow([this](const ControlEvent& e) {
                              if (auto port = decodeNumber(e.payload, ByteOrder::kLittle))
                                runPlugin(*port);
                            }));
  link_->setControlCallback(SERVER_USERS, [this](const ControlEvent& e) {
    if (auto users = decodeServerUsers(e.payload)) {
      std::lock_guard lock(serverUsersMutex_);
      serverUsers_ = std::move(*users);
    }
  });
  link_->setControlCallback(CTL_INVITATION_TIMEOUT, onWindow([this](const ControlEvent& e) {
                              status(e.member.text() + " not present");
                            }));
  link_->setControlCallback(CTL_INVITATION_DELIVERED, onWindow([this](const ControlEvent& e) {
                              status(e.member.text() + " received invitation");
                            }));
  link_->setControlCallback(CTL_ACCEPTED, onWindow([this](const ControlEvent& e) {
                              status(e.member.text() + " accepted invitation");
                            }));
  link_->setControlCallback(CTL_REJECTED, onWindow([this](const ControlEvent& e) {
                              status(e.member.text() + " rejected invitation");
                            }));
}

std::vector<MemberName> ManagerPanel::serverUsers() const {
  std::lock_guard lock(serverUsersMutex_);
  return serverUsers_;
}

void ManagerPanel::onClick(std::string_view control) {
  if (control == "Add" || control == "Member/Add member") {
    openAddUsers();
  } else if (control == "Accept" || control == "Reject") {
    control == "Accept" ? accept() : reject();
    view_->setEnabled("Accept", false);
    view_->setEnabled("Reject", false);
  } else if (control == "Invitation/Accept") {
    accept();
  } else if (control == "Invitation/Reject") {
    reject();
  } else if (control == "Run" || control == "Quit") {
    Plugin* p = selectedPlugin();
    if (!p) return;
    bool run = control == "Run";
    view_->setEnabled("Run", !run);
    view_->setEnabled("Quit", run);
    run ? runPlugin(p->port) : quitPlugin(*p);
  } else if (control == "Application/Run") {
    if (Plugin* p = selectedPlugin()) runPlugin(p->port);
  } else if (control == "Application/Quit") {
    if (Plugin* p = selectedPlugin()) quitPlugin(*p);
  } else if (control == "Info" || control == "Application/Info") {
    if (Plugin* p = selectedPlugin())
      view_->messageBox(
          "Info",
          "Port: " + std::to_string(p->port) + "\nName: " + p->name + "\nPath: " + p->path + "\n",
          ui::Icon::kInformation);
  } else if (control == "File/Reset session") {
    reset();
  } else if (control == "File/Exit") {
    shutdown();
    view_->close();
  } else if (control == "Archive/Archive Panel") {
    openArchive();
  } else if (control == "Help/Overview") {
    view_->messageBox("Overview",
                      "Create a session by inviting users with Add; accept or reject invitations; "
                      "run applications on every member with Run.",
                      ui::Icon::kInformation);
  }
}

void ManagerPanel::onSelect(std::string_view list, int index, const std::string&) {
  if (list != "Applications") return;
  selected_ = index;
  showApplicationButtons();
}

void ManagerPanel::onClose() {
  shutdown();
  view_->close();
}

Plugin* ManagerPanel::selectedPlugin() {
  if (selected_ < 0 || selected_ >= static_cast<int>(plugins_.size())) return nullptr;
  return &plugins_[static_cast<std::size_t>(selected_)];
}

void ManagerPanel::showApplicationButtons() {
  Plugin* p = selectedPlugin();
  view_->setEnabled("Run", p && !p->running);
  view_->setEnabled("Quit", p && p->running);
  view_->setEnabled("Info", p != nullptr);
}

void ManagerPanel::accept() {
  if (!invitationPending_) return;
  invitationPending_ = false;
  inSession_ = true;
  link_->joinSession(pendingInvitation_);
  stopRing();
}

void ManagerPanel::reject() {
  if (!invitationPending_) return;
  invitationPending_ = false;
  link_->deleteInvitation(pendingInvitation_);
  stopRing();
}

void ManagerPanel::invite(const std::string& entry) {
  if (!link_) return;
  if (!inSession_) {
    link_->sessionCreate();
    inSession_ = true;
  }
  auto at = entry.find('@');
  // Without a host part the user is looked for on this host.
  std::string user = entry.substr(0, std::min<std::size_t>(at, kMaxNameLength));
  std::string hostName =
      at == std::string::npos ? net::formatAddress(settings_.host.address) : entry.substr(at + 1);
  link_->inviteMember(user, hostName);
}

void ManagerPanel::runPlugin(int port) {
  Plugin* found = nullptr;
  for (auto& p : plugins_)
    if (p.port == port) found = &p;  // the last entry of that port
  // Running already is what stops the echo of every other member's start.
  if (!found || found->running) return;
  link_->startApplication(port);
  found->running = true;
  std::string why;
  auto started = process::start(found->path, {}, &why);
  if (!started.started()) {
    error("Create process error");
  } else {
    std::lock_guard lock(pluginProcessesMutex_);
    pluginProcesses_.push_back(started);
  }
  ++pluginStarts_;
  showApplicationButtons();
}

void ManagerPanel::quitPlugin(Plugin& plugin) {
  if (!plugin.running) return;
  plugin.running = false;
  link_->sendToApp(plugin.port, CTL_QUIT, {});
  showApplicationButtons();
}

void ManagerPanel::reapPlugins() {
  // A plug-in that has ended is collected, so it does not linger as a zombie.
  std::lock_guard lock(pluginProcessesMutex_);
  std::erase_if(pluginProcesses_, [](process::Process& p) { return !p.running(); });
}

int ManagerPanel::pluginProcessesLeft() {
  std::lock_guard lock(pluginProcessesMutex_);
  return static_cast<int>(pluginProcesses_.size());
}

void ManagerPanel::startRing() {
  stopRing();
  ring_ = std::jthread([this](std::stop_token stop) {
    std::string wave = settings_.installDirectory + "/RINGIN.WAV";
    for (int i = 0; i < kRingTimes && !stop.stop_requested(); ++i) {
      view_->post([this] { view_->setPicture("Ring", "ringing"); });
      std::string why;
      if (settings_.audio) settings_.audio->playSoundFile(wave, &why, stop);
      view_->post([this] { view_->setPicture("Ring", "idle"); });
      for (int waited = 0; waited < settings_.ringPauseMs && !stop.stop_requested(); waited += 50)
        clock::sleepMs(std::min(50, settings_.ringPauseMs - waited));
    }
  });
}

void ManagerPanel::stopRing() {
  if (!ring_.joinable()) return;
  ring_.request_stop();
  ring_.join();
  if (view_) view_->setPicture("Ring", "idle");
}

void ManagerPanel::shutdown() {
  status("Quitting...please wait");
  stopRing();
  if (listener_.joinable()) {
    listener_.request_stop();
    listener_.join();
  }
  if (link_) {
    for (auto& p : plugins_) quitPlugin(p);
    link_->linkStop();  // a query still running no longer reports
  }
  queryingUsers_ = false;
  settings_.clock->sleep(settings_.shutdownWaitMs);
  engine_.terminate();
}

void ManagerPanel::reset() {
  status("Conference reset...please wait");
  shutdown();
  view_->clearItems("Members");
  view_->clearItems("Applications");
  members_.clear();
  plugins_.clear();
  selected_ = -1;
  showApplicationButtons();
  inSession_ = false;
  settings_.clock->sleep(settings_.resetWaitMs);
  startUp();
}

void ManagerPanel::openAddUsers() {
  // The user server is asked on the link's thread, so the window goes on answering however
  // slowly it replies. The dialog opens at once with the last list and shows the new one when
  // it comes.
  if (link_ && link_->serverId() != 0 && !queryingUsers_)
    queryingUsers_ = link_->serverInBackground(SERVER_QUERY_USERS, [this](ServerStatus result) {
      view_->post([this, result] { usersQueried(result); });
    });
  AddUsersDialog dialog(serverUsers(), [this](const std::string& entry) { invite(entry); });
  addUsers_ = &dialog;
  view_->runDialog("Add Users", dialog);
  addUsers_ = nullptr;
}

void ManagerPanel::usersQueried(ServerStatus result) {
  queryingUsers_ = false;
  if (std::string text = serverStatusText(result); !text.empty()) status(text);
  if (result == ServerStatus::kDone && addUsers_) addUsers_->setActiveUsers(serverUsers());
}

void ManagerPanel::openArchive() {
  if (!link_) return;
  ArchivePanel panel(*link_);
  view_->runDialog("Archive Panel", panel);
}

// --- Add Users ---

namespace {
bool startsWithNoCase(const std::string& s, const std::string& prefix) {
  if (prefix.size() > s.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}
}  // namespace

void AddUsersDialog::attach(ui::View& view) {
  view_ = &view;
  for (const auto& u : activeUsers_) view.addItem("Active Users", u.text());
}

void AddUsersDialog::setActiveUsers(std::vector<MemberName> users) {
  std::string selected;
  if (activeSelected_ >= 0 && activeSelected_ < static_cast<int>(activeUsers_.size()))
    selected = activeUsers_[static_cast<std::size_t>(activeSelected_)].text();
  activeUsers_ = std::move(users);
  activeSelected_ = -1;
  view_->clearItems("Active Users");
  for (std::size_t i = 0; i < activeUsers_.size(); ++i) {
    view_->addItem("Active Users", activeUsers_[i].text());
    if (activeSelected_ < 0 && !selected.empty() && activeUsers_[i].text() == selected)
      activeSelected_ = static_cast<int>(i);
  }
  view_->selectItem("Active Users", activeSelected_);
}

bool AddUsersDialog::listed(const std::string& text) const {
  return std::any_of(toInvite_.begin(), toInvite_.end(),
                     [&](const std::string& e) { return startsWithNoCase(e, text); });
}

void AddUsersDialog::onText(std::string_view field, const std::string& text) {
  if (field == "User") typed_ = text.substr(0, 70);
}

void AddUsersDialog::onSelect(std::string_view list, int index, const std::string&) {
  if (list == "Active Users") activeSelected_ = index;
  if (list == "Invite") inviteSelected_ = index;
}

void AddUsersDialog::onClick(std::string_view control) {
  if (control == "Add ->") {
    if (!typed_.empty() && !listed(typed_)) {
      toInvite_.push_back(typed_);
      view_->addItem("Invite", typed_);
    }
    if (activeSelected_ >= 0 && activeSelected_ < static_cast<int>(activeUsers_.size())) {
      std::string entry = activeUsers_[static_cast<std::size_t>(activeSelected_)].text();
      if (!listed(entry)) {
        toInvite_.push_back(entry);
        view_->addItem("Invite", entry);
      }
    }
  } else if (control == "<- Delete") {
    if (inviteSelected_ >= 0 && inviteSelected_ < static_cast<int>(toInvite_.size())) {
      auto it = toInvite_.begin() + inviteSelected_;
      view_->removeItem("Invite", *it);
      toInvite_.erase(it);
      inviteSelected_ = -1;
    }
  } else if (control == "OK") {
    for (const auto& entry : toInvite_) invite_(entry);
    view_->close();
  } else if (control == "Cancel") {
    view_->close();
  }
}

// --- Archive Panel ---

void ArchivePanel::attach(ui::View& view) {
  view_ = &view;
  view.setText("Status", "Normal");
}

void ArchivePanel::stop() {
  if (recording_) link_.saveClose();
  if (playing_) link_.restoreClose();
  recording_ = playing_ = false;
}

void ArchivePanel::onClick(std::string_view control) {
  if (control == "Play" && !recording_ && !playing_) {
    link_.restoreInit();
    playing_ = true;
    view_->setText("Status", "Playing...");
  } else if (control == "Record" && !recording_ && !playing_) {
    link_.saveInit();
    recording_ = true;
    view_->setText("Status", "Recording...");
  } else if (control == "Stop") {
    stop();
    view_->setText("Status", "Stopped");
  } else if (control == "OK" || control == "Cancel") {
    view_->close();
    stop();
  }
}

}  // namespace zep::manager
