// The audio tool's window with a recording view, attached to a real engine on a loopback host.
#include "audio/panel.h"

#include <gtest/gtest.h>

#include "tests/driver/driver.h"
#include "ui/recording_view.h"

namespace zep::testing {
namespace {

struct PanelRig {
  PanelRig() : host("alice"), dir(freshDirectory("audio-panel")) {
    host.manager.send(engine::LOCAL_CREATE);
    std::string error;
    sound::writeSoundFile((dir / "mic.wav").string(), std::vector<std::int16_t>(8000, 0), &error);
    system = std::make_unique<sound::AudioSystem>(
        "file:" + (dir / "mic.wav").string(), "file:" + (dir / "out.wav").string(), false, clock);
    audio::AudioToolSettings s;
    s.audio = system.get();
    s.clock = &clock;
    s.host.address = s.host.bindAddress = host.address;
    s.host.userName = "alice";
    s.linkOptions.exit = [](int) {};
    panel = std::make_unique<audio::AudioToolPanel>(s);
    panel->attach(view);
  }
  ~PanelRig() {
    if (!view.closed) panel->onClose();
  }
  SessionHost host;
  std::filesystem::path dir;
  clock::RealClock clock;
  std::unique_ptr<sound::AudioSystem> system;
  ui::RecordingView view;
  std::unique_ptr<audio::AudioToolPanel> panel;
};

TEST(AudioToolWindow, StartsInBothWithTheControlsSetAndTalkOnlyChangesItsPicture) {
  PanelRig rig;
  ASSERT_TRUE(rig.panel->core());
  EXPECT_EQ(rig.panel->core()->state(), audio::BOTH);
  EXPECT_TRUE(rig.view.checked["ADPCM"]);
  EXPECT_FALSE(rig.view.checked["GSM"]);
  EXPECT_FALSE(rig.view.checked["Auto"]);
  EXPECT_TRUE(rig.view.checked["Talk"]);
  EXPECT_EQ(rig.view.values["Threshold"], 6);

  rig.panel->onClick("Talk");
  EXPECT_EQ(rig.view.pictures["Talk"], "loudspeaker");
  EXPECT_EQ(rig.panel->core()->state(), audio::BOTH)
      << "Talk alone switches nothing in full duplex";

  rig.panel->onClick("Auto");
  EXPECT_TRUE(rig.view.checked["Auto"]);
  EXPECT_EQ(rig.panel->core()->state(), audio::TALK);
  waitUntil([&] { return rig.view.drain() > 0 && !rig.view.pictures["Talk"].empty(); });
  EXPECT_EQ(rig.view.pictures["Talk"], "microphone");

  rig.panel->onClick("GSM");
  EXPECT_TRUE(rig.view.checked["GSM"]);
  EXPECT_FALSE(rig.view.checked["ADPCM"]);
  EXPECT_EQ(rig.panel->core()->sendCodec(), audio::AUDIO_GSM);
}

TEST(AudioToolWindow, TheThresholdStartsAt2000UntilTheThumbIsFirstReleased) {
  PanelRig rig;
  EXPECT_EQ(rig.panel->core()->threshold(), 2000) << "not the slider's 6 x 327";
  rig.panel->onValue("Threshold", 40, false);
  EXPECT_EQ(rig.panel->core()->threshold(), 2000);
  rig.panel->onValue("Threshold", 40, true);
  EXPECT_EQ(rig.panel->core()->threshold(), 40 * 327);
  rig.panel->onValue("Threshold", 6, true);
  EXPECT_EQ(rig.panel->core()->threshold(), 1962);
}

TEST(AudioToolWindow, TheQuietTimerIsTheWindowsAndStopsWhenTheToolCloses) {
  PanelRig rig;
  rig.panel->onClick("Auto");
  rig.panel->onClick("Talk");  // automatic switching, listening
  ASSERT_EQ(rig.panel->core()->state(), audio::LISTEN);
  rig.panel->restartQuietTimer();  // as a loud incoming block does, from the receive thread
  ASSERT_TRUE(waitUntil([&] {
    rig.view.drain();
    return rig.view.timerRunning(audio::kQuietTimer);
  }));
  EXPECT_EQ(rig.view.timers[audio::kQuietTimer], 1000);
  rig.panel->onTimer(audio::kQuietTimer);
  EXPECT_EQ(rig.panel->core()->state(), audio::TALK) << "a quiet second: back to talking";

  rig.panel->onClose();
  EXPECT_FALSE(rig.view.timerRunning(audio::kQuietTimer)) << "nothing fires after shutdown";
  rig.panel->restartQuietTimer();  // a late request from a thread that was still running
  rig.view.drain();
  EXPECT_FALSE(rig.view.timerRunning(audio::kQuietTimer));
}

TEST(AudioToolWindow, QuitFromTheEngineClosesTheWindow) {
  PanelRig rig;
  rig.host.manager.send(engine::LOCAL_LEAVE);  // the engine tells its applications to quit
  EXPECT_TRUE(waitUntil([&] {
    rig.view.drain();
    return rig.view.closed;
  }));
}

}  // namespace
}  // namespace zep::testing
