// The Directory Server window and its pages, driven by messages in memory.
#include <gtest/gtest.h>

#include "directory/dialogs.h"
#include "directory/pages.h"
#include "directory/tests/test_support.h"
#include "ui/recording_view.h"

namespace zep::directory {
namespace {

using testing::FakeHost;
using testing::ip;
using testing::MemoryTransport;
using testing::Notification;

class DirectoryPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link.connect("", 0);
    link.setLocalAddress(me);
    dialog.attach(view);
  }
  void user(const char* name, const char* address, const char* email = "e@x") {
    dialog.onRegister({ip(address), name, "", email});
  }
  // Decodes what the client sent since the last call.
  std::vector<std::pair<int, std::vector<std::uint8_t>>> sent() {
    std::vector<std::pair<int, std::vector<std::uint8_t>>> out;
    std::span<const std::uint8_t> rest(out_.sent);
    while (std::size_t n = completeFrameSize(rest)) {
      out.push_back({rest[2], {rest.begin() + 3, rest.begin() + static_cast<long>(n)}});
      rest = rest.subspan(n);
    }
    out_.sent.clear();
    return out;
  }
  // Runs what waits for the window thread: queued questions and notices are put to the user.
  void settle() {
    while (view.drain() > 0) {
    }
  }
  std::vector<std::string> boxes() {
    settle();
    std::vector<std::string> texts;
    for (auto& b : view.boxes) texts.push_back(b.text);
    view.boxes.clear();
    return texts;
  }

  net::Ipv4 me = ip("10.0.0.1");
  MemoryTransport out_;
  ServerLink link{&out_};
  FakeHost host;
  DirectoryServerDialog dialog{link, host};
  ui::RecordingView view;
};

TEST_F(DirectoryPagesTest, UserListStaysSortedAndFollowsTheSelectedRow) {
  user("carol", "10.0.0.3", "c@x");
  user("alice", "10.0.0.1", "a@x");
  user("bob", "10.0.0.2", "b@x");
  user("bob", "10.0.0.2", "b@x");  // registered twice: two rows
  EXPECT_EQ((std::vector<std::string>{"alice\ta@x", "bob\tb@x", "bob\tb@x", "carol\tc@x"}),
            view.list("User list"));
  dialog.onSelect("User list", 3, "carol");
  dialog.onUnregister(ip("10.0.0.1"));  // a row above the selection goes
  dialog.onClick("Call");
  ASSERT_EQ(1u, host.got.size());
  EXPECT_EQ((Notification{DSN_CALLUSER, 0, "", ip("10.0.0.3")}), host.got[0]);
  dialog.onUnregister(ip("10.0.0.3"));  // the selected row itself goes
  dialog.onClick("Call");
  EXPECT_EQ(1u, host.got.size()) << "no row is selected any more";
  dialog.onUnregister(ip("10.0.0.9"));
  EXPECT_EQ(std::vector<std::string>{"(msgCUNREG<HEADER>::execute) Item not found"}, boxes());
  EXPECT_EQ((std::vector<std::string>{"bob\tb@x", "bob\tb@x"}), view.list("User list"));
}

TEST_F(DirectoryPagesTest, CallWithoutASelectedRowPostsNothing) {
  user("bob", "10.0.0.2");
  dialog.onClick("Call");
  dialog.onSelect("User list", -1, "");
  dialog.onClick("Call");
  EXPECT_TRUE(host.got.empty());
}

TEST_F(DirectoryPagesTest, CreatingAConferenceEntersItOnce) {
  user("alice", "10.0.0.1");
  dialog.onNewConference({kOpen, 77, me, "Weekly", ""});
  dialog.onNewConference({kOpen, 78, ip("10.0.0.2"), "Other", ""});
  EXPECT_EQ((std::vector<Notification>{{DSN_CONFENTERED, 1, "alice", me}}), host.got);
  EXPECT_EQ(77u, dialog.conferences().localConference());
  EXPECT_EQ((std::vector<std::string>{"Other", "Weekly"}), view.list("Conference list"));
}

TEST_F(DirectoryPagesTest, JoiningAConferenceOfTwoAnnouncesEveryoneThere) {
  user("alice", "10.0.0.1");
  user("bob", "10.0.0.2");
  user(std::string(25, 'z').c_str(), "10.0.0.3");
  dialog.onConferenceEntry({0, 5, "Talk", {ip("10.0.0.2"), ip("10.0.0.3")}});
  EXPECT_TRUE(host.got.empty()) << "a listed conference is no notification";
  dialog.onJoin({5, me});
  std::string z19(19, 'z');
  EXPECT_EQ((std::vector<Notification>{{DSN_CONFENTERED, 3, "bob", ip("10.0.0.2")},
                                       {DSN_PARTICIPANTJOINED, 0, z19, ip("10.0.0.3")},
                                       {DSN_PARTICIPANTJOINED, 0, "alice", me}}),
            host.got);
  host.got.clear();
  dialog.onJoin({5, ip("10.0.0.9")});  // not in the user list
  dialog.onLeave({5, ip("10.0.0.2")});
  dialog.onLeave({5, me});
  EXPECT_EQ((std::vector<Notification>{{DSN_PARTICIPANTJOINED, 0, "user", ip("10.0.0.9")},
                                       {DSN_PARTICIPANTLEFT, 0, "bob", ip("10.0.0.2")},
                                       {DSN_PARTICIPANTLEFT, 0, "alice", me},
                                       {DSN_CONFLEFT, 0, "", 0}}),
            host.got);
}

TEST_F(DirectoryPagesTest, AfterLeavingTheHostHearsNothingMoreAndARejoinEntersFirst) {
  user("alice", "10.0.0.1");
  user("bob", "10.0.0.2");
  dialog.onNewConference({kOpen, 5, ip("10.0.0.2"), "Talk", ""});
  dialog.onJoin({5, me});
  dialog.onLeave({5, me});
  host.got.clear();
  dialog.onJoin({5, ip("10.0.0.3")});
  dialog.onLeave({5, ip("10.0.0.3")});
  EXPECT_TRUE(host.got.empty());
  dialog.onJoin({5, me});
  ASSERT_FALSE(host.got.empty());
  EXPECT_EQ((Notification{DSN_CONFENTERED, 2, "bob", ip("10.0.0.2")}), host.got[0]);
  // Deleting the local conference also ends it for the host's purposes.
  dialog.onDeleteConference(5);
  EXPECT_FALSE(dialog.conferences().localConference());
}

TEST_F(DirectoryPagesTest, ModelErrorsChangeNothing) {
  user("bob", "10.0.0.2");
  dialog.onConferenceEntry({0, 5, "Talk", {ip("10.0.0.2")}});
  dialog.onJoin({6, me});
  dialog.onLeave({6, me});
  dialog.onLeave({5, ip("10.0.0.7")});
  dialog.onDeleteConference(6);
  // A notice equal to one still waiting is not shown twice.
  EXPECT_EQ((std::vector<std::string>{"Conference not found", "User info not found"}), boxes());
  EXPECT_EQ((std::vector<net::Ipv4>{ip("10.0.0.2")}), dialog.conferences().table().at(5));
  EXPECT_TRUE(host.got.empty());
  // Two rows of one conference: deleting removes one row and the table entry, and a join
  // then finds the row but not the entry.
  dialog.onConferenceEntry({0, 5, "Talk", {}});
  dialog.onDeleteConference(5);
  dialog.onJoin({5, me});
  EXPECT_EQ(std::vector<std::string>{"Conference info not found"}, boxes());
  EXPECT_TRUE(host.got.empty());
}

TEST_F(DirectoryPagesTest, ConferenceEntryWithoutWholeIdsHasNoParticipants) {
  dialog.onConferenceEntry({0, 5, "Talk", {}});
  EXPECT_EQ(std::vector<std::string>{"Talk"}, view.list("Conference list"));
  ASSERT_EQ(1u, dialog.conferences().table().count(5));
  EXPECT_TRUE(dialog.conferences().table().at(5).empty());
}

TEST_F(DirectoryPagesTest, AConferenceListedWithoutParticipantsCanBeEntered) {
  user("alice", "10.0.0.1");
  user("bob", "10.0.0.2");
  dialog.onConferenceEntry({0, 5, "Empty", {}});
  dialog.onJoin({5, me});
  dialog.onJoin({5, ip("10.0.0.2")});
  EXPECT_TRUE(boxes().empty()) << "no \"Conference info not found\"";
  EXPECT_EQ((std::vector<Notification>{{DSN_CONFENTERED, 1, "alice", me},
                                       {DSN_PARTICIPANTJOINED, 0, "bob", ip("10.0.0.2")}}),
            host.got);
}

TEST_F(DirectoryPagesTest, SelectingAConferenceShowsItsParticipantsSorted) {
  user("carol", "10.0.0.3", "c@x");
  user("bob", "10.0.0.2", "b@x");
  dialog.onConferenceEntry({0, 5, "A", {ip("10.0.0.3"), ip("10.0.0.8"), ip("10.0.0.2")}});
  dialog.onConferenceEntry({0, 6, "B", {ip("10.0.0.2")}});
  dialog.onSelect("Conference list", 0, "A");
  EXPECT_EQ((std::vector<std::string>{"bob\tb@x", "carol\tc@x"}), view.list("Participants"));
  EXPECT_EQ(std::vector<std::string>{"Participant not found"}, boxes());
  dialog.onLeave({5, ip("10.0.0.3")});
  EXPECT_EQ((std::vector<std::string>{"bob\tb@x"}), view.list("Participants"));
  boxes();
  // Deleting a conference selects the row that takes its place ...
  dialog.onDeleteConference(5);
  EXPECT_EQ(0, view.selected["Conference list"]);
  EXPECT_EQ((std::vector<std::string>{"bob\tb@x"}), view.list("Participants"));
  dialog.onClick("Join");
  auto s = sent();
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ(kJoin, s[0].first);
  EXPECT_EQ(idPairBody({6, 0}), s[0].second);
  // ... and with none left the participant list is emptied.
  dialog.onDeleteConference(6);
  EXPECT_TRUE(view.list("Participants").empty());
  dialog.onClick("Leave");
  EXPECT_TRUE(sent().empty());
  EXPECT_TRUE(boxes().empty());
}

TEST_F(DirectoryPagesTest, AdmissionAnswers) {
  user("bob", "10.0.0.2");
  std::string shown;
  bool accept = false;
  view.onDialog = [&](const std::string& title, ui::Presenter& p, ui::RecordingView& v) {
    ASSERT_EQ("New Participant", title);
    shown = v.texts["Name"];
    p.onClick(accept ? "Accept" : "Reject");
  };
  dialog.onAdmitAsked({9, ip("10.0.0.2")});
  EXPECT_TRUE(view.dialogs.empty()) << "asked from the window's queue, not inside the message";
  settle();
  EXPECT_EQ("bob", shown);
  accept = true;
  dialog.onAdmitAsked({9, ip("10.0.0.5")});
  settle();
  EXPECT_EQ("user", shown);
  auto s = sent();
  ASSERT_EQ(2u, s.size());
  EXPECT_EQ(idPairBody({0, ip("10.0.0.2")}), s[0].second) << "Reject: conference id 0";
  EXPECT_EQ(idPairBody({9, ip("10.0.0.5")}), s[1].second);
}

TEST_F(DirectoryPagesTest, PasswordAskedIsAnsweredOnlyWithAPassword) {
  std::string typed;
  const char* press = "OK";
  view.onDialog = [&](const std::string& title, ui::Presenter& p, ui::RecordingView& v) {
    ASSERT_EQ("Protected Conference", title);
    EXPECT_FALSE(v.isVisible("Confirm Password box"));
    p.onText("Password", typed);
    p.onClick(press);
  };
  dialog.onPasswordAsked({4, "which?"});
  settle();
  typed = "secret";
  press = "Cancel";
  dialog.onPasswordAsked({4, ""});
  settle();
  press = "OK";
  dialog.onPasswordAsked({4, ""});
  settle();
  auto s = sent();
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ(kPassword, s[0].first);
  EXPECT_EQ(passwordBody({4, "secret"}), s[0].second);
}

// Scripts the New conference dialogs: each step acts on the dialog that is open.
struct Script {
  std::vector<std::function<void(const std::string&, ui::Presenter&, ui::RecordingView&)>> steps;
  std::size_t next = 0;
  void operator()(const std::string& t, ui::Presenter& p, ui::RecordingView& v) {
    ASSERT_LT(next, steps.size()) << "unexpected dialog " << t;
    v.onDialog = [this](auto& t2, auto& p2, auto& v2) { (*this)(t2, p2, v2); };  // nested ones
    steps[next++](t, p, v);
  }
};

auto passwords(const char* a, const char* b, const char* press) {
  return [=](const std::string& t, ui::Presenter& p, ui::RecordingView& v) {
    EXPECT_EQ("Protected Conference", t);
    EXPECT_TRUE(v.isVisible("Confirm Password box"));
    EXPECT_EQ("", v.texts["Password"]);
    p.onText("Password", a);
    p.onText("Confirm Password", b);
    p.onClick(press);
  };
}

TEST_F(DirectoryPagesTest, NewProtectedConferenceNeedsMatchingPasswords) {
  auto script = std::make_shared<Script>();
  view.onDialog = [script](auto& t, auto& p, auto& v) { (*script)(t, p, v); };
  // Different passwords are asked again; Cancel then leaves none, and OK is refused.
  script->steps = {[&](const std::string& t, ui::Presenter& p, ui::RecordingView&) {
                     EXPECT_EQ("Conference", t);
                     p.onText("Topic", "Secret talk");
                     p.onClick("Protected");
                     p.onClick("OK");
                   },
                   passwords("one", "two", "OK"), passwords("x", "", "Cancel")};
  dialog.onClick("New");
  EXPECT_EQ(3u, script->next);
  EXPECT_EQ(std::vector<std::string>{"You have to specify a password for protected conference"},
            boxes());
  EXPECT_TRUE(sent().empty());
  // A password given and the type switched back to Open: the password still goes.
  script->next = 0;
  script->steps = {[&](const std::string&, ui::Presenter& p, ui::RecordingView&) {
                     p.onText("Topic", "Open talk");
                     p.onClick("Protected");
                     p.onClick("Open");
                     p.onClick("OK");
                   },
                   passwords("pw", "pw", "OK")};
  dialog.onClick("New");
  auto s = sent();
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ(kNewConference, s[0].first);
  EXPECT_EQ(newConferenceBody({kOpen, 0, 0, "Open talk", "pw"}), s[0].second);
}

TEST_F(DirectoryPagesTest, NewConferenceNeedsATopicAndCancelSendsNothing) {
  const char* press = "OK";
  view.onDialog = [&](const std::string&, ui::Presenter& p, ui::RecordingView&) {
    p.onText("Topic", "");
    p.onClick("Restricted");
    p.onClick(press);
  };
  dialog.onClick("New");
  EXPECT_EQ(std::vector<std::string>{"You have to specify a conference topic"}, boxes());
  press = "Cancel";
  dialog.onClick("New");
  EXPECT_TRUE(boxes().empty());
  EXPECT_TRUE(sent().empty());
  dialog.onClick("Delete");  // has no action
  EXPECT_TRUE(sent().empty());
}

// A server's questions and notices while one is open: each waits for the one before, however
// many come and whatever the window runs meanwhile (here: the nested loop's queued work).
TEST_F(DirectoryPagesTest, AFloodOfQuestionsNestsOneDialogInsideAnother) {
  int asked = 0;
  bool flooded = false;
  view.onDialog = [&](const std::string& title, ui::Presenter& p, ui::RecordingView&) {
    ASSERT_EQ("Protected Conference", title);
    ++asked;
    if (!std::exchange(flooded, true)) {
      for (std::uint32_t id = 1; id <= 3000; ++id) dialog.onPasswordAsked({id, ""});
      for (int i = 0; i < 3000; ++i) dialog.onNotice("Notice " + std::to_string(i));
    }
    settle();  // what a modal loop would run
    p.onClick("Cancel");
  };
  dialog.onPasswordAsked({1, ""});
  settle();
  EXPECT_EQ(1, view.modal->most) << "never a dialog inside another";
  EXPECT_EQ(static_cast<int>(Prompts::kMaxWaiting) + 1, asked);
  auto shown = boxes();
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(Prompts::kDropped, shown.back()) << "the user hears that some were dropped";
  EXPECT_EQ(0u, dialog.prompts().waiting());
  // The same question again while one waits is asked once.
  asked = 0;
  dialog.onPasswordAsked({7, ""});
  dialog.onPasswordAsked({7, ""});
  settle();
  EXPECT_EQ(1, asked);
}

TEST_F(DirectoryPagesTest, QuestionsWaitUntilTheUsersOwnDialogIsClosed) {
  view.onDialog = [&](const std::string& title, ui::Presenter& p, ui::RecordingView&) {
    if (title == "Conference") {
      dialog.onAdmitAsked({9, ip("10.0.0.2")});
      settle();
      EXPECT_EQ(std::vector<std::string>{"Conference"}, view.dialogs) << "not asked meanwhile";
      EXPECT_TRUE(view.timerRunning(Prompts::kRetryTimer));
      p.onClick("Cancel");
      return;
    }
    p.onClick("Reject");
  };
  dialog.onClick("New");
  dialog.onTimer(Prompts::kRetryTimer);
  EXPECT_EQ((std::vector<std::string>{"Conference", "New Participant"}), view.dialogs);
  EXPECT_FALSE(view.timerRunning(Prompts::kRetryTimer));
  EXPECT_EQ(1, view.modal->most);
  EXPECT_EQ(idPairBody({0, ip("10.0.0.2")}), sent().at(0).second);
}

// A join to the shown conference rebuilt the whole participant list, repeating the error of
// every participant not in the user list.
TEST_F(DirectoryPagesTest, AJoinToTheSelectedConferenceRebuildsTheWholeList) {
  user("bob", "10.0.0.2", "b@x");
  user("carol", "10.0.0.3", "c@x");
  dialog.onConferenceEntry({0, 5, "A", {ip("10.0.0.8"), ip("10.0.0.2")}});
  dialog.onSelect("Conference list", 0, "A");
  EXPECT_EQ(std::vector<std::string>{"Participant not found"}, boxes());
  dialog.onJoin({5, ip("10.0.0.3")});
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ((std::vector<std::string>{"bob\tb@x", "carol\tc@x"}), view.list("Participants"));
  dialog.onLeave({5, ip("10.0.0.2")});
  dialog.onLeave({5, ip("10.0.0.8")});
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ((std::vector<std::string>{"carol\tc@x"}), view.list("Participants"));
}

TEST_F(DirectoryPagesTest, ListsStopAtTheirCapsAndSaySoOnce) {
  for (int i = 0; i < kMaxUsers + 3; ++i) {  // in list order, so each row goes last
    net::Ipv4 id = ip("10.1.0.0") + static_cast<net::Ipv4>(i);
    char name[8];
    std::snprintf(name, sizeof name, "u%05d", i);
    dialog.onRegister({id, name, "", "e"});
  }
  EXPECT_EQ(static_cast<std::size_t>(kMaxUsers), view.list("User list").size());
  for (int i = 0; i < kMaxConferences + 3; ++i)
    dialog.onNewConference({kOpen, static_cast<std::uint32_t>(i + 1), ip("10.0.0.9"), "t", ""});
  EXPECT_EQ(static_cast<std::size_t>(kMaxConferences), view.list("Conference list").size());
  std::vector<net::Ipv4> many(kMaxParticipants + 10, ip("10.0.0.7"));
  dialog.onDeleteConference(1);
  dialog.onConferenceEntry({0, 99999, "Crowded", many});
  dialog.onJoin({99999, ip("10.0.0.8")});
  EXPECT_EQ(kMaxParticipants, dialog.conferences().table().at(99999).size());
  EXPECT_EQ((std::vector<std::string>{kUsersFull, kConferencesFull, "Participant not found",
                                      kParticipantsFull}),
            boxes());
}

// Enter in a page pressed its first button (Call, which calls the selected user).
TEST_F(DirectoryPagesTest, EnterInAPagePressesItsFirstButton) {
  ui::RecordingView owner;
  dialog.setOwner(&owner);
  user("bob", "10.0.0.2");
  dialog.onSelect("User list", 0, "bob");
  dialog.show(0);
  dialog.onClick("OK");
  EXPECT_TRUE(host.got.empty()) << "no call";
  EXPECT_FALSE(view.isVisible("Active Users page"));
  EXPECT_TRUE(view.isVisible("")) << "the window stays";
  EXPECT_TRUE(owner.isVisible("")) << "the owner comes forward";
  dialog.show(1);
  dialog.onClick("OK");
  EXPECT_FALSE(view.isVisible("Conferences page"));
}

TEST_F(DirectoryPagesTest, OnePageIsVisibleAtATime) {
  dialog.show(1);
  dialog.show(0);
  EXPECT_TRUE(view.isVisible(""));
  EXPECT_TRUE(view.isVisible("Active Users page"));
  EXPECT_FALSE(view.isVisible("Conferences page"));
  dialog.onClick("Conferences");
  EXPECT_FALSE(view.isVisible("Active Users page"));
  EXPECT_TRUE(view.isVisible("Conferences page"));
  dialog.onClick("Close");
  EXPECT_TRUE(view.closed);
}

}  // namespace
}  // namespace zep::directory
