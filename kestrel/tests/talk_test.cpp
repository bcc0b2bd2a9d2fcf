// The talk control's tables and block rules, with an output that records what it was told.
#include "kestrel/talk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zep::kestrel {
namespace {

struct Recorder final : TalkOutput {
  TalkControl* control = nullptr;
  std::vector<std::string> calls;
  int sent = 0, ends = 0, played = 0, timers = 0;
  bool talkEnabled = false, talkChecked = false, autoShown = false, manualShown = false;
  void openCapture() override { calls.push_back("open capture"); }
  void closeCapture() override { calls.push_back("close capture"); }
  void openPlayout() override { calls.push_back("open playout"); }
  void closePlayout() override { calls.push_back("close playout"); }
  void sendBlock(std::span<const std::int16_t>) override { sent++; }
  void sendEndOfSpurt() override { ends++; }
  void play(int, std::span<const std::int16_t>) override { played++; }
  void endOfSpurt(int) override {}
  void showTalk(bool enabled, bool checked) override {
    talkEnabled = enabled;
    talkChecked = checked;
  }
  void showSwitches(bool a, bool m) override {
    autoShown = a;
    manualShown = m;
  }
  void showMicrophone(int) override {}
  void showSpeaker(int) override {}
  void armTimer() override { timers++; }
  void raiseLater(TalkEvent e) override { control->raise(e); }
};

std::vector<std::int16_t> block(std::int16_t value) {
  return std::vector<std::int16_t>(800, value);
}

struct Rig {
  explicit Rig(bool fullDuplex) : talk(out, fullDuplex) {
    out.control = &talk;
    talk.start();
  }
  Recorder out;
  TalkControl talk;
};

TEST(TalkControl, HalfDuplexAutoListensAfterASecondOfSilenceAndTalksAgainAfterQuiet) {
  Rig rig(false);
  EXPECT_EQ(rig.talk.state(), TalkState::kTalking);
  EXPECT_TRUE(rig.talk.manualSwitching());
  rig.talk.raise(EV_AUTO);
  EXPECT_TRUE(rig.talk.autoSwitching());
  EXPECT_FALSE(rig.talk.manualSwitching());
  rig.talk.onReceivedBlock(1, block(9000));
  EXPECT_TRUE(rig.talk.remoteVoiceSeen());
  EXPECT_EQ(rig.out.played, 0) << "talking, the others are only watched";
  for (int i = 0; i < 9; ++i) rig.talk.onCapturedBlock(block(0));
  EXPECT_EQ(rig.talk.state(), TalkState::kTalking);
  rig.talk.onCapturedBlock(block(0));
  EXPECT_EQ(rig.talk.state(), TalkState::kListening);
  EXPECT_FALSE(rig.out.talkChecked);
  EXPECT_EQ(rig.talk.silentBlocks(), 0) << "the counter starts again after that block";
  rig.talk.onReceivedBlock(1, block(100));
  EXPECT_EQ(rig.out.played, 1);
  rig.talk.onTimer();
  EXPECT_EQ(rig.talk.state(), TalkState::kTalking);
  EXPECT_FALSE(rig.talk.remoteVoiceSeen());
  EXPECT_EQ(
      (std::vector<std::string>{"close capture", "open playout", "close playout", "open capture"}),
      rig.out.calls);
}

TEST(TalkControl, EverySilentBlockFromTheTenthEndsTheSpurtAndNegativePeaksAreSilent) {
  Rig rig(true);
  rig.talk.setSendThreshold(1);  // 327
  rig.talk.onCapturedBlock(block(-20000));
  EXPECT_EQ(rig.out.sent, 0) << "an all-negative block has level 0";
  for (int i = 0; i < 14; ++i) rig.talk.onCapturedBlock(block(0));
  EXPECT_EQ(rig.out.ends, 6) << "the 10th to the 15th silent blocks";
  EXPECT_EQ(rig.out.timers, 6);
  rig.talk.onCapturedBlock(block(5000));
  EXPECT_EQ(rig.out.sent, 1);
  EXPECT_EQ(rig.talk.silentBlocks(), 0);
  rig.talk.setSendThreshold(0);
  rig.talk.onCapturedBlock(block(-20000));
  EXPECT_EQ(rig.out.sent, 2) << "with a threshold of 0 every block is sent";
}

TEST(TalkControl, FullDuplexManualGoesToListeningAndBackToBoth) {
  Rig rig(true);
  EXPECT_EQ(rig.talk.state(), TalkState::kBoth);
  EXPECT_FALSE(rig.out.talkEnabled);
  rig.talk.raise(EV_MANUAL);
  EXPECT_EQ(rig.talk.state(), TalkState::kListening);
  rig.talk.raise(EV_TALK);
  EXPECT_EQ(rig.talk.state(), TalkState::kTalking);
  rig.talk.raise(EV_MANUAL);
  EXPECT_EQ(rig.talk.state(), TalkState::kBoth);
  rig.talk.raise(EV_TALK);
  EXPECT_EQ(rig.talk.state(), TalkState::kBoth) << "the talk button does nothing without manual";
  rig.talk.raise(EV_AUTO);
  EXPECT_EQ(rig.talk.state(), TalkState::kTalking);
  rig.talk.raise(EV_AUTO);
  EXPECT_EQ(rig.talk.state(), TalkState::kBoth);
  EXPECT_FALSE(rig.talk.autoSwitching());
}

TEST(TalkControl, HalfDuplexWithoutAutoSwitchesByTheTalkButtonOnly) {
  Rig rig(false);
  rig.talk.raise(EV_TALK);
  EXPECT_EQ(rig.talk.state(), TalkState::kListening);
  rig.talk.raise(EV_TIMER);
  EXPECT_EQ(rig.talk.state(), TalkState::kListening) << "the timer switches only in auto";
  rig.talk.raise(EV_MANUAL);
  EXPECT_FALSE(rig.talk.manualSwitching());
  rig.talk.raise(EV_AUTO);
  EXPECT_EQ(rig.talk.state(), TalkState::kTalking) << "auto on from listening talks";
  rig.talk.raise(EV_MANUAL);
  EXPECT_FALSE(rig.talk.autoSwitching());
  EXPECT_TRUE(rig.talk.manualSwitching());
}

// The two boxes exclude each other: Manual, then Auto, on a full-duplex device leaves only Auto
// checked, and the other way round.
TEST(TalkControl, FullDuplexManualThenAutoLeavesOnlyAutoSwitchChecked) {
  Rig rig(true);
  rig.talk.onSwitchBox(EV_MANUAL, true);
  EXPECT_EQ(rig.talk.state(), TalkState::kListening);
  EXPECT_TRUE(rig.out.manualShown);
  rig.talk.onSwitchBox(EV_AUTO, true);
  EXPECT_TRUE(rig.talk.autoSwitching());
  EXPECT_FALSE(rig.talk.manualSwitching());
  EXPECT_TRUE(rig.out.autoShown);
  EXPECT_FALSE(rig.out.manualShown) << "both boxes checked";
  EXPECT_EQ(rig.talk.state(), TalkState::kTalking);
  rig.talk.onSwitchBox(EV_MANUAL, true);
  EXPECT_FALSE(rig.talk.autoSwitching());
  EXPECT_TRUE(rig.talk.manualSwitching());
  EXPECT_FALSE(rig.out.autoShown);
  EXPECT_EQ(rig.talk.state(), TalkState::kListening);
  rig.talk.onSwitchBox(EV_MANUAL, false);
  EXPECT_EQ(rig.talk.state(), TalkState::kBoth) << "unchecking raises the box's own event";
  rig.talk.onSwitchBox(EV_AUTO, false);
  EXPECT_EQ(rig.talk.state(), TalkState::kBoth) << "a box that agrees with its flag: nothing";

  Rig half(false);  // manual on at start
  half.talk.onSwitchBox(EV_AUTO, true);
  EXPECT_TRUE(half.talk.autoSwitching());
  EXPECT_FALSE(half.talk.manualSwitching());
}

}  // namespace
}  // namespace zep::kestrel
