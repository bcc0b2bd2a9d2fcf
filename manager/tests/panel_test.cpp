// The manager's windows with a recording view, over real engines on loopback hosts.
#include "manager/panel.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "tests/driver/driver.h"
#include "ui/recording_view.h"

namespace zep::manager {
namespace {

using namespace engine;
using testing::dotted;
using testing::freshAddress;
using testing::freshDirectory;
using testing::waitUntil;

// A plug-in stand-in that counts its starts.
void writePlugin(const std::filesystem::path& dir) {
  auto path = dir / "plugin.sh";
  std::ofstream(path) << "#!/bin/sh\necho started >> '" << (dir / "plugin.mark").string() << "'\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  std::ofstream(dir / "PLUGINS.CFG")
      << "2\n12567\nAudio stand-in\n/plugin.sh\n34999\nVideo\n/none\n";
}

struct Panel {
  Panel(const std::string& userName, bool withPlugins = true, bool withEngine = true)
      : user(userName), address(freshAddress()), dir(freshDirectory("manager")) {
    if (withEngine) {
      std::filesystem::create_directories(dir / "Core");
      std::filesystem::create_symlink(testing::installTree() / "Core" / "KSengine",
                                      dir / "Core" / "KSengine");
    }
    if (withPlugins) writePlugin(dir);
    PanelSettings s;
    s.installDirectory = dir.string();
    s.host.address = s.host.bindAddress = address;
    s.host.userName = user;
    s.clock = &clock;
    s.exit = [this](int code) {
      exitedOnWindowThread = std::this_thread::get_id() == windowThread;
      exitCode = code;
    };
    s.engineEnvironment = {
        {"ZEP_HOST", dotted(address)}, {"ZEP_USER", user}, {"ZEP_PATH", dir.string()}};
    s.engineLog = (dir / "engine.log").string();
    s.shutdownWaitMs = s.resetWaitMs = 0;
    s.ringPauseMs = 10;
    settings = s;
  }
  ~Panel() {
    // Every test ends its manager's engine, also when it failed half way.
    if (panel && !view.closed) panel->onClick("File/Exit");
  }
  void start() {
    panel = std::make_unique<ManagerPanel>(settings);
    panel->attach(view);
  }
  bool drainUntil(const std::function<bool()>& condition, int timeoutMs = testing::kDeadlineMs) {
    return waitUntil(
        [&] {
          view.drain();
          return condition();
        },
        timeoutMs);
  }
  std::string status() { return view.texts["Status"]; }
  int engineLogCount(const std::string& text) {
    return testing::LogFile(dir / "engine.log").count(text);
  }

  std::string user;
  net::Ipv4 address;
  std::filesystem::path dir;
  clock::RealClock clock;
  PanelSettings settings;
  ui::RecordingView view;
  std::unique_ptr<ManagerPanel> panel;
  std::atomic<int> exitCode{-1};
  std::thread::id windowThread = std::this_thread::get_id();  // the test drains the view
  std::atomic<bool> exitedOnWindowThread{false};
};

// Plays the engine of a panel's host on the raw local channel.
struct RawEngine {
  explicit RawEngine(net::Ipv4 address) {
    const char* step = "";
    listener = net::listenTcp(address, kEnginePort, 4, &step);
  }
  // Takes the panel's channel, which it opened while starting.
  bool accept() {
    net::Ipv4 peer = 0;
    channel = net::acceptTcp(listener, &peer);
    Message init;
    return receiveMessage(channel.fd(), &init) == ReadStatus::kOk &&
           init.header.tag == NEW_LOCAL_INIT;
  }
  void send(std::uint8_t tag, const std::vector<std::uint8_t>& payload) const {
    MessageHeader h;
    h.tag = tag;
    sendMessage(channel.fd(), h, payload);
  }
  net::Socket listener;
  net::Socket channel;
};

// Start-up waits for the engine to listen before attaching, as the real program does.
void startPanel(Panel& p) {
  p.settings.engineStartWaitMs = 300;
  p.start();
}

TEST(ManagerPanel, MissingPluginListIsOneBoxAndThePanelStillWorks) {
  Panel p("alice", false);
  startPanel(p);
  ASSERT_EQ(p.view.boxes.size(), 1u);
  EXPECT_EQ(p.view.boxes[0].title, "Error");
  EXPECT_EQ(p.view.boxes[0].text, "Can't read file");
  EXPECT_TRUE(p.view.list("Applications").empty());
  EXPECT_EQ(p.status(), "Conferencing panel ready to use");
  p.panel->onClick("File/Exit");
  EXPECT_TRUE(p.view.closed);
}

TEST(ManagerPanel, MissingEngineIsReportedAndEndsTheManager) {
  Panel p("alice", true, false);
  startPanel(p);
  ASSERT_GE(p.view.boxes.size(), 1u);
  EXPECT_EQ(p.view.boxes[0].text, "Create process error");
  EXPECT_EQ(p.exitCode, 0);
}

TEST(ManagerPanel, ALeavingMemberRemovesItsOwnEntryNotOneThatBeginsWithIt) {
  Panel p("alice", true, false);
  RawEngine engine(p.address);
  startPanel(p);
  ASSERT_TRUE(engine.accept());
  // Two hosts whose names differ only at the end: "…1" begins "…10".
  std::string base = dotted(freshAddress());
  std::string prefix = base.substr(0, base.rfind('.') + 1);
  net::Ipv4 near = net::dottedAddress(prefix + "1"), far = net::dottedAddress(prefix + "10");
  const std::string bobNear = "bob@" + hostNameOf(near), bobFar = "bob@" + hostNameOf(far);
  const std::string carol = "carol@" + hostNameOf(near);
  engine.send(CTL_ADD_MEMBER, encodeMemberRecord({0, "bob", far}));
  engine.send(CTL_ADD_MEMBER, encodeMemberRecord({1, "carol", near}));
  engine.send(CTL_ADD_MEMBER, encodeMemberRecord({2, "bob", near}));
  ASSERT_TRUE(p.drainUntil([&] { return p.view.list("Members").size() == 3; }));
  EXPECT_EQ(p.view.list("Members"), (std::vector<std::string>{bobNear, bobFar, carol}))
      << "sorted, as every front end shows it";

  engine.send(CTL_DELETE_MEMBER, encodeNumber(2, ByteOrder::kLittle));
  ASSERT_TRUE(p.drainUntil([&] { return p.status() == bobNear + " left"; }));
  EXPECT_EQ(p.view.list("Members"), (std::vector<std::string>{bobFar, carol}));
}

TEST(ManagerPanel, TheEngineGoingAwayEndsTheProgramOnTheWindowThread) {
  Panel p("alice", true, false);
  RawEngine engine(p.address);
  startPanel(p);
  ASSERT_TRUE(engine.accept());
  engine.channel.close();
  ASSERT_TRUE(p.drainUntil([&] { return p.exitCode == 0; }));
  EXPECT_TRUE(p.exitedOnWindowThread) << "not from the listener, beneath a running window";
}

TEST(ManagerPanel, PluginsThatEndAreReapedNotLeftAsZombies) {
  Panel p("alice", false, false);
  auto script = p.dir / "brief.sh";
  std::ofstream(script) << "#!/bin/sh\necho $$ > '" << (p.dir / "brief.pid").string() << "'\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  std::ofstream(p.dir / "PLUGINS.CFG") << "1\n12567\nBrief\n/brief.sh\n";
  RawEngine engine(p.address);
  startPanel(p);
  ASSERT_TRUE(engine.accept());
  p.panel->onSelect("Applications", 0, "Brief");
  p.panel->onClick("Run");
  testing::LogFile pidFile(p.dir / "brief.pid");
  ASSERT_TRUE(pidFile.waitFor("\n"));
  std::string pid = pidFile.text();
  pid.pop_back();
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists("/proc/" + pid); }))
      << "the ended plug-in " << pid << " was never collected";
  EXPECT_EQ(p.panel->pluginProcessesLeft(), 0);
}

TEST(ManagerPanel, ApplicationButtonsFollowTheSelectionAndRunStartsOnce) {
  Panel p("alice");
  startPanel(p);
  EXPECT_EQ(p.view.list("Applications"), (std::vector<std::string>{"Audio stand-in", "Video"}));
  EXPECT_FALSE(p.view.isEnabled("Run"));
  p.panel->onSelect("Applications", 0, "Audio stand-in");
  EXPECT_TRUE(p.view.isEnabled("Run"));
  EXPECT_FALSE(p.view.isEnabled("Quit"));
  EXPECT_TRUE(p.view.isEnabled("Info"));
  p.panel->onClick("Info");
  EXPECT_EQ(p.view.boxes.back().text,
            "Port: 12567\nName: Audio stand-in\nPath: " + (p.dir / "plugin.sh").string() + "\n");
  p.panel->onClick("Run");
  EXPECT_FALSE(p.view.isEnabled("Run"));
  EXPECT_TRUE(p.view.isEnabled("Quit"));
  p.panel->onClick("Application/Run");  // already running: nothing
  EXPECT_TRUE(testing::LogFile(p.dir / "plugin.mark").waitFor("started"));
  EXPECT_EQ(p.panel->pluginStarts(), 1);
  p.panel->onClick("Quit");
  EXPECT_TRUE(p.view.isEnabled("Run"));
  EXPECT_FALSE(p.panel->plugins()[0].running);
  EXPECT_TRUE(
      testing::LogFile(p.dir / "engine.log").waitFor("Engine: local session send to application"));
  p.panel->onClick("File/Exit");
}

TEST(ManagerPanel, InvitingTwoUsersCreatesTheSessionOnceAndTheOthersAnswer) {
  Panel a("alice"), b("bob"), c("carol");
  for (auto* p : {&a, &b, &c}) startPanel(*p);
  // Accept without an invitation sends nothing but still disables the buttons.
  b.view.enabled["Accept"] = true;
  b.panel->onClick("Accept");
  EXPECT_FALSE(b.view.isEnabled("Accept"));
  EXPECT_FALSE(b.view.isEnabled("Reject"));

  a.view.onDialog = [&](const std::string& title, ui::Presenter& dialog, ui::RecordingView& view) {
    ASSERT_EQ(title, "Add Users");
    dialog.onText("User", "bob@" + dotted(b.address));
    dialog.onClick("Add ->");
    dialog.onClick("Add ->");  // already listed
    dialog.onText("User", "carol@" + dotted(c.address));
    dialog.onClick("Add ->");
    EXPECT_EQ(view.list("Invite").size(), 2u);
    dialog.onClick("OK");
    EXPECT_TRUE(view.closed);
  };
  a.panel->onClick("Add");
  EXPECT_TRUE(a.panel->inSession());

  ASSERT_TRUE(b.drainUntil([&] { return b.panel->invitationPending(); }));
  EXPECT_EQ(b.status(), "RECEIVED INVITATION from alice@" + hostNameOf(a.address));
  EXPECT_TRUE(b.view.isEnabled("Accept"));
  ASSERT_TRUE(c.drainUntil([&] { return c.panel->invitationPending(); }));
  b.panel->onClick("Accept");
  EXPECT_EQ(b.view.pictures["Ring"], "idle");
  c.panel->onClick("Reject");
  EXPECT_FALSE(c.panel->inSession());

  ASSERT_TRUE(a.drainUntil([&] { return a.view.list("Members").size() == 2; }));
  ASSERT_TRUE(b.drainUntil([&] { return b.view.list("Members").size() == 2; }));
  EXPECT_TRUE(a.drainUntil([&] {
    return a.status() == "carol@" + hostNameOf(c.address) + " rejected invitation";
  })) << a.status();
  EXPECT_EQ(a.engineLogCount("Engine: local session create\n"), 1);

  // Run on one member starts the plug-in on the other once, and the echo changes nothing.
  a.panel->onSelect("Applications", 0, "Audio stand-in");
  a.panel->onClick("Run");
  ASSERT_TRUE(b.drainUntil([&] { return b.panel->pluginStarts() == 1; }));
  a.drainUntil([] { return false; }, 500);  // time for the echo to come back
  EXPECT_EQ(a.panel->pluginStarts(), 1);
  EXPECT_TRUE(b.panel->plugins()[0].running);

  // Reset: members gone, plug-ins listed again and stopped.
  a.panel->onClick("File/Reset session");
  EXPECT_TRUE(a.view.list("Members").empty());
  EXPECT_EQ(a.view.list("Applications").size(), 2u);
  EXPECT_FALSE(a.panel->plugins()[0].running);
  EXPECT_FALSE(a.panel->inSession());
  for (auto* p : {&a, &b, &c}) p->panel->onClick("File/Exit");
}

TEST(ArchivePanel, RecordPlayAndStopThroughTheEngine) {
  Panel p("alice");
  startPanel(p);
  p.view.onDialog = [&](const std::string& title, ui::Presenter& dialog, ui::RecordingView& view) {
    ASSERT_EQ(title, "Archive Panel");
    EXPECT_EQ(view.texts["Status"], "Normal");
    dialog.onClick("Record");
    EXPECT_EQ(view.texts["Status"], "Recording...");
    dialog.onClick("Play");  // ignored while recording
    EXPECT_EQ(view.texts["Status"], "Recording...");
    dialog.onClick("Stop");
    EXPECT_EQ(view.texts["Status"], "Stopped");
    dialog.onClick("Play");
    dialog.onClick("Cancel");
    EXPECT_EQ(view.texts["Status"], "Playing...");
  };
  p.panel->onClick("Archive/Archive Panel");
  testing::LogFile log(p.dir / "engine.log");
  EXPECT_TRUE(log.waitFor("Engine: local session restore close\n"));
  EXPECT_EQ(log.count("Engine: local session save init\n"), 1);
  EXPECT_EQ(log.count("Engine: local session save close\n"), 1);
  p.panel->onClick("File/Exit");
}

TEST(ManagerPanel, AddUsersOpensAtOnceAndAHalfSentReplyEndsWithAClearStatus) {
  Panel a("alice");
  testing::UserServerProcess server(freshAddress(), {"--half-reply"});
  ASSERT_TRUE(server.waitReady());
  std::ofstream(a.dir / "SERVERS.CFG") << dotted(server.address) << "\n";
  a.settings.serverTimeoutMs = 400;
  startPanel(a);

  auto before = std::chrono::steady_clock::now();
  a.panel->onClick("Add");
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100))
      << "the window does not wait for the user server";
  EXPECT_EQ(a.view.dialogs, std::vector<std::string>{"Add Users"});
  a.panel->onClick("Add");  // opened again while the first query runs: no second query
  ASSERT_TRUE(a.drainUntil([&] { return !a.status().starts_with("Conferencing"); }));
  EXPECT_EQ(a.status(), "User server reply cut short: the last list of active users is shown");
  EXPECT_EQ(server.out.count("Server: half a reply sent"), 1);
  a.panel->onClick("File/Exit");
}

TEST(ManagerPanel, ActiveUsersArriveInTheOpenDialogAndASelectionStaysWithItsEntry) {
  Panel a("alice"), b("bob");
  testing::UserServerProcess server(freshAddress());
  ASSERT_TRUE(server.waitReady());
  for (auto* p : {&a, &b}) {
    std::ofstream(p->dir / "SERVERS.CFG") << dotted(server.address) << "\n";
    startPanel(*p);
  }
  ASSERT_TRUE(testing::waitUntil([&] { return server.out.count("signed on") == 2; }));
  const std::string alice = "alice@" + hostNameOf(a.address), bob = "bob@" + hostNameOf(b.address);
  std::vector<std::string> atOpening, invited;
  a.view.onDialog = [&](const std::string&, ui::Presenter& dialog, ui::RecordingView& view) {
    atOpening = view.list("Active Users");
    // The user picks bob from the last list before the new one comes.
    auto at = std::find(atOpening.begin(), atOpening.end(), bob);
    if (at != atOpening.end()) dialog.onSelect("Active Users", int(at - atOpening.begin()), bob);
    EXPECT_TRUE(a.drainUntil([&] { return !a.panel->askingUserServer(); }));
    dialog.onClick("Add ->");
    invited = view.list("Invite");
    dialog.onClick("Cancel");
  };
  a.panel->onClick("Add");
  EXPECT_TRUE(atOpening.empty()) << "no list before the first answer";
  EXPECT_TRUE(invited.empty()) << "nothing was selected";
  EXPECT_EQ(a.panel->serverUsers().size(), 2u);

  // adam signs on, so bob's entry moves down in the next list.
  net::Socket adam;
  ASSERT_EQ(net::connectTcp(server.address, kUserServerPort, a.address, 1000, &adam),
            net::ConnectResult::kConnected);
  MessageHeader h;
  h.tag = SERVER_SIGN_ON;
  h.sender = {0, "adam", a.address};
  ASSERT_EQ(sendMessage(adam.fd(), h, {}), 1);
  ASSERT_TRUE(testing::waitUntil([&] { return server.out.count("signed on") == 3; }));
  a.panel->onClick("Add");
  EXPECT_EQ(atOpening, (std::vector<std::string>{alice, bob})) << "the last list at once";
  EXPECT_EQ(a.panel->serverUsers().size(), 3u);
  EXPECT_EQ(invited, std::vector<std::string>{bob}) << "the selection followed bob's entry";
  for (auto* p : {&a, &b}) p->panel->onClick("File/Exit");
}

}  // namespace
}  // namespace zep::manager

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "manager/qt_windows.h"

namespace zep::manager {
namespace {

QApplication& qtApplication() {
  static int argc = 1;
  static char name[] = "manager_tests";
  static char* argv[] = {name, nullptr};
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication app(argc, argv);
  return app;
}

TEST(ManagerQtWindow, ControlsCarryTheirLabelsAndFollowThePresenter) {
  qtApplication();
  Panel p("alice");
  p.settings.engineStartWaitMs = 300;
  ManagerPanel panel(p.settings);
  ui::qt::QtApp app;
  addQtWindows(app);
  auto window = app.build(kPanelTitle, panel, false);
  panel.attach(*window);
  QWidget* w = window->widget();
  EXPECT_EQ(w->windowTitle(), "Kestrel Conference Manager");
  for (const char* label : {"Add", "Accept", "Reject", "Run", "Quit", "Info"}) {
    auto* b = w->findChild<QPushButton*>(label);
    ASSERT_TRUE(b) << label;
    EXPECT_EQ(b->text(), label);
  }
  for (const char* disabled : {"Accept", "Reject", "Run", "Quit", "Info"})
    EXPECT_FALSE(w->findChild<QPushButton*>(disabled)->isEnabled()) << disabled;
  EXPECT_TRUE(w->findChild<QPushButton*>("Add")->isEnabled());
  for (const char* action :
       {"File/Reset session", "File/Exit", "Member/Add member", "Invitation/Accept",
        "Invitation/Reject", "Application/Run", "Application/Quit", "Application/Info",
        "Archive/Archive Panel", "Help/Overview"})
    EXPECT_TRUE(w->findChild<QAction*>(action)) << action;
  EXPECT_EQ(w->findChild<QLineEdit*>("Status")->text(), "Conferencing panel ready to use");
  auto* applications = w->findChild<QListWidget*>("Applications");
  ASSERT_EQ(applications->count(), 2);
  EXPECT_EQ(applications->item(0)->text(), "Audio stand-in");
  applications->setCurrentRow(0);
  EXPECT_TRUE(w->findChild<QPushButton*>("Run")->isEnabled());
  EXPECT_TRUE(w->findChild<QPushButton*>("Info")->isEnabled());
  EXPECT_FALSE(w->findChild<QPushButton*>("Quit")->isEnabled());
  panel.onClick("File/Exit");
}

}  // namespace
}  // namespace zep::manager

namespace zep::manager {
namespace {

TEST(AddUsersDialog, EntriesAreAddedOnceDeletedAndInvitedInOrder) {
  std::vector<std::string> invited;
  AddUsersDialog dialog({{"alice", "host-a"}, {"bob", "host-b"}},
                        [&](const std::string& e) { invited.push_back(e); });
  ui::RecordingView view;
  dialog.attach(view);
  EXPECT_EQ(view.list("Active Users"), (std::vector<std::string>{"alice@host-a", "bob@host-b"}));
  dialog.onText("User", "Carol@host-c");
  dialog.onSelect("Active Users", 1, "bob@host-b");
  dialog.onClick("Add ->");  // one click adds both
  EXPECT_EQ(dialog.toInvite(), (std::vector<std::string>{"Carol@host-c", "bob@host-b"}));
  dialog.onText("User", "carol");  // a case-insensitive prefix of an entry already listed
  dialog.onSelect("Active Users", -1, "");
  dialog.onClick("Add ->");
  EXPECT_EQ(dialog.toInvite().size(), 2u);
  dialog.onSelect("Invite", 0, "Carol@host-c");
  dialog.onClick("<- Delete");
  EXPECT_EQ(view.list("Invite"), std::vector<std::string>{"bob@host-b"});
  dialog.onClick("OK");
  EXPECT_EQ(invited, std::vector<std::string>{"bob@host-b"});
  EXPECT_TRUE(view.closed);
}

TEST(ManagerPanel, ASecondInvitationReplacesTheFirst) {
  Panel a("alice"), d("dave"), b("bob");
  for (auto* p : {&a, &d, &b}) startPanel(*p);
  a.panel->invite("bob@" + dotted(b.address));
  ASSERT_TRUE(b.drainUntil([&] { return b.panel->invitationPending(); }));
  d.panel->invite("bob@" + dotted(b.address));
  ASSERT_TRUE(b.drainUntil([&] { return b.status().find("from dave@") != std::string::npos; }));
  b.panel->onClick("Accept");
  EXPECT_TRUE(d.drainUntil([&] { return d.view.list("Members").size() == 2; }))
      << "bob joined dave's session, the later invitation";
  a.drainUntil([] { return false; }, 300);
  EXPECT_EQ(a.view.list("Members").size(), 1u) << "alice's session kept only herself";
}

}  // namespace
}  // namespace zep::manager
