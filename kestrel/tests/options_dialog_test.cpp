// The Options dialog: Apply and OK store what the pages hold and apply the preset, whose
// highest frame rate bounds the slider; the compression boxes only show what the preset chose.
#include "kestrel/options_dialog.h"

#include <gtest/gtest.h>

#include "ui/recording_view.h"

namespace zep::kestrel {
namespace {

struct Rig {
  explicit Rig(OptionsEnvironment env = {}) : dialog(settings, std::move(env)) {
    dialog.attach(view);
  }
  KestrelSettings settings;
  ui::RecordingView view;
  OptionsDialog dialog;
};

TEST(KestrelOptions, LanAndApplySetPcmAndTenPicturesAndTheAudioPageShowsItNextTime) {
  Rig rig;
  EXPECT_EQ(rig.view.selected["Connection"], 0) << "Modem 28.8 is the stored preset";
  rig.dialog.onSelect("Connection", 3, "LAN");
  rig.dialog.onClick("Apply");
  EXPECT_EQ(rig.settings.preset, "LAN");
  EXPECT_EQ(rig.settings.audioCompression, 15);
  EXPECT_EQ(rig.settings.frameRate, 10);
  EXPECT_FALSE(rig.view.closed) << "Apply leaves the dialog open";
  rig.dialog.onClick("Cancel");
  EXPECT_TRUE(rig.view.closed);

  Rig again;
  again.settings = rig.settings;
  again.dialog.attach(again.view);
  EXPECT_EQ(again.view.selected["Audio Compression:"], 2) << "PCM";
  EXPECT_EQ(again.view.selected["Video Compression:"], 3) << "YUV9";
  again.dialog.onSelect("Audio Compression:", 0, "GSM");
  EXPECT_EQ(again.view.selected["Audio Compression:"], 2) << "the preset decides, not the box";
}

TEST(KestrelOptions, OkStoresTheFrameRateLimitedToThePresetsHighest) {
  Rig rig;
  rig.dialog.onSelect("Connection", 1, "ISDN-1");
  rig.dialog.onValue("Frame rate", 8, true);
  rig.dialog.onClick("OK");
  EXPECT_TRUE(rig.view.closed);
  EXPECT_EQ(rig.settings.preset, "ISDN-1");
  EXPECT_EQ(rig.settings.frameRate, 5);
  EXPECT_EQ(rig.settings.audioCompression, 13);
}

TEST(KestrelOptions, OkStoresTheTextsCutToTheirFieldsAndRestartsCaptureOnANewDevice) {
  int restarted = -1;
  OptionsEnvironment env;
  env.devices = {"Test pattern", "USB Camera (/dev/video0)"};
  env.restartCapture = [&](int d) { restarted = d; };
  Rig rig(env);
  rig.dialog.onText("Your name:", std::string(40, 'a'));
  rig.dialog.onText("E-mail address:", "a@example.org");
  rig.dialog.onText("Directory Server:", std::string(60, 's'));
  rig.dialog.onClick("Auto accept");
  rig.dialog.onSelect("Video Capture Device:", 1, "USB Camera (/dev/video0)");
  rig.dialog.onClick("OK");
  EXPECT_EQ(restarted, 1);
  EXPECT_EQ(rig.settings.captureDevice, 1);
  EXPECT_EQ(rig.settings.name, std::string(29, 'a'));
  EXPECT_EQ(rig.settings.directoryServer, std::string(49, 's'));
  EXPECT_EQ(rig.settings.autoAccept, 0) << "the box was on and was cleared";

  KestrelSettings untouched;
  Rig cancelled;
  cancelled.dialog.onText("Your name:", "someone");
  cancelled.dialog.onClick("Cancel");
  EXPECT_EQ(cancelled.settings.name, untouched.name) << "Cancel stores nothing";
}

TEST(KestrelOptions, ModeShowsHalfDuplexOnlyFor21AndFullDuplexForAnyOtherValue) {
  for (auto [stored, shown] : std::vector<std::pair<int, std::string>>{
           {21, "Half Duplex"}, {20, "Full Duplex"}, {0, "Full Duplex"}, {99, "Full Duplex"}}) {
    KestrelSettings settings;
    settings.duplexMode = stored;
    ui::RecordingView view;
    OptionsDialog dialog(settings, {});
    dialog.attach(view);
    EXPECT_EQ(view.texts["Mode:"], shown) << stored;
  }
}

TEST(KestrelOptions, MuteMicOffAndTheCompressionActAtApplyNotWhenTheDialogCloses) {
  KestrelSettings seen;
  int applied = 0;
  OptionsEnvironment env;
  Rig* rig = nullptr;
  env.applied = [&] {
    applied++;
    seen = rig->settings;
  };
  Rig r(env);
  rig = &r;
  r.dialog.onClick("Mute");
  r.dialog.onClick("Mic off");
  r.dialog.onSelect("Connection", 1, "ISDN-1");
  r.dialog.onClick("Apply");
  EXPECT_EQ(applied, 1) << "the program is told at Apply";
  EXPECT_EQ(seen.mute, 1);
  EXPECT_EQ(seen.micOff, 1);
  EXPECT_EQ(seen.audioCompression, 13);
  r.dialog.onClick("Mute");
  r.dialog.onClick("OK");
  EXPECT_EQ(applied, 2) << "and again at OK";
  EXPECT_EQ(seen.mute, 0);
}

// The slider offers 0, and a record may hold 0 or a preset of its own: the rate stored and the
// rate used are at least one picture a second, and an odd highest rate breaks nothing.
TEST(KestrelOptions, AFrameRateOfZeroIsOnePictureASecondFromTheSliderAndFromTheFile) {
  Rig rig;
  rig.dialog.onValue("Frame rate", 0, true);
  rig.dialog.onClick("OK");
  EXPECT_EQ(rig.settings.frameRate, 1);
  EXPECT_EQ(usable(rig.settings).frameRate, 1);

  KestrelSettings fromFile;
  fromFile.frameRate = 0;
  EXPECT_EQ(usable(decodeSettings(encodeSettings(fromFile))).frameRate, 1)
      << "the same rule after a restart";

  Rig odd;
  odd.settings.preset = "Satellite";
  odd.settings.highestFrameRate = -4;
  odd.dialog.attach(odd.view);
  odd.dialog.onValue("Frame rate", 7, true);
  odd.dialog.onClick("OK");
  EXPECT_EQ(odd.settings.frameRate, 1);
  EXPECT_EQ(odd.settings.preset, "Satellite") << "kept as the file says";
}

}  // namespace
}  // namespace zep::kestrel
