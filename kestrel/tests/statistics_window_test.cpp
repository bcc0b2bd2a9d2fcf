// The Statistics window: the remote members listed, zero texts, and only every fifth update
// shown, for the member chosen.
#include "kestrel/statistics_window.h"

#include <gtest/gtest.h>

#include "ui/recording_view.h"

namespace zep::kestrel {
namespace {

TEST(StatisticsWindow, ListsRemoteMembersAndShowsEveryFifthUpdateOfTheChosenOne) {
  StatisticsWindow window([](net::Ipv4 a) { return net::formatAddress(a); });
  ui::RecordingView view;
  window.attach(view);
  engine::MemberTable members;
  for (int n : {0, 1, 3}) {
    engine::MemberRecord r;
    r.number = static_cast<std::uint8_t>(n);
    r.name = "user" + std::to_string(n);
    r.address = net::dottedAddress("127.0.0." + std::to_string(n + 1));
    members.put(r);
  }
  window.refresh(members, 1);
  EXPECT_EQ(view.list("Participants"),
            (std::vector<std::string>{"user0@127.0.0.1", "user3@127.0.0.4"}));
  EXPECT_EQ(window.selected(), 0);
  EXPECT_EQ(view.texts["Audio Received:"], "     0 (  0%)");
  EXPECT_EQ(view.texts["Video Frames/sec:"], "0.0 fps");

  ReceiveStats s;
  s.start(0, 0);
  for (int i = 1; i <= 4; ++i) {
    s.count(static_cast<std::uint16_t>(i), 100, 100u * i);
    window.update(0, s, false, 100u * i);
  }
  EXPECT_EQ(view.texts["Audio Received:"], "     0 (  0%)") << "four updates: nothing shown";
  s.count(5, 100, 500);
  window.update(0, s, false, 500);
  EXPECT_EQ(view.texts["Audio Received:"], "     5 (100%)");
  // Another member's fifth update changes nothing; choosing it shows its next fifth.
  for (int i = 0; i < 5; ++i) window.update(3, s, false, 600);
  window.onSelect("Participants", 1, "user3@127.0.0.4");
  EXPECT_EQ(window.selected(), 3);
}

TEST(StatisticsWindow, RefreshSelectsTheFirstLineOfTheList) {
  StatisticsWindow window([](net::Ipv4 a) { return net::formatAddress(a); });
  ui::RecordingView view;
  window.attach(view);
  engine::MemberTable members;
  for (int n : {2, 5}) {
    engine::MemberRecord r;
    r.number = static_cast<std::uint8_t>(n);
    r.name = "user" + std::to_string(n);
    r.address = net::dottedAddress("127.0.0." + std::to_string(n + 1));
    members.put(r);
  }
  view.selected["Participants"] = -1;
  window.refresh(members, 0);
  EXPECT_EQ(view.selected["Participants"], 0) << "the first line shows as chosen";
  EXPECT_EQ(window.selected(), 2);
  window.onSelect("Participants", 1, "user5@127.0.0.6");
  window.refresh(members, 0);
  EXPECT_EQ(view.selected["Participants"], 0);
  EXPECT_EQ(window.selected(), 2) << "a refresh chooses the first line again";

  ui::RecordingView modal;  // a front end without modeless windows shows it anew each time
  window.attach(modal);
  EXPECT_EQ(modal.selected["Participants"], 0);
  engine::MemberTable alone;
  window.attach(view);
  view.selected["Participants"] = 7;
  window.refresh(alone, 0);
  EXPECT_EQ(window.selected(), -1);
  EXPECT_EQ(view.selected["Participants"], 7) << "an empty list has no line to choose";
}

}  // namespace
}  // namespace zep::kestrel
