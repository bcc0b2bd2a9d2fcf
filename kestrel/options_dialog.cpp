#include "kestrel/options_dialog.h"

#include <algorithm>

namespace zep::kestrel {
namespace {

const char* audioCompressionName(int type) {
  return type == 13 ? "ADPCM" : type == 15 ? "PCM" : "GSM";
}

const char* videoCompressionName(int type, bool intra) {
  if (type == 10) return "YUV9";
  if (type == 1) return intra ? "H.261 intra" : "H.261";
  return "H.263";
}

int presetIndex(const std::string& name) {
  for (int i = 0; i < 4; ++i)
    if (name == kPresets[i]) return i;
  return -1;
}

// The highest frame rate a preset allows: what applying it sets.
int highestRateOf(const KestrelSettings& s, const std::string& preset) {
  KestrelSettings probe = s;
  probe.preset = preset;
  applyPreset(probe);
  return probe.highestFrameRate;
}

}  // namespace

void OptionsDialog::attach(ui::View& view) {
  view_ = &view;
  preset_ = settings_.preset;
  server_ = settings_.directoryServer;
  name_ = settings_.name;
  email_ = settings_.email;
  autoAccept_ = settings_.autoAccept != 0;
  receiveOff_ = settings_.receiveOff != 0;
  mute_ = settings_.mute != 0;
  micOff_ = settings_.micOff != 0;
  volume_ = settings_.volume;
  micGain_ = settings_.micGain;
  frameRate_ = settings_.frameRate;
  device_ = settings_.captureDevice;

  for (const char* p : kPresets) view.addItem("Connection", p);
  view.selectItem("Connection", presetIndex(preset_));
  view.setChecked("Auto accept", autoAccept_);
  view.setText("Directory Server:", server_);
  view.setText("Your name:", name_);
  view.setText("E-mail address:", email_);

  view.setText("Mode:", settings_.duplexMode == 21 ? "Half Duplex" : "Full Duplex");
  for (const char* c : {"GSM", "ADPCM", "PCM"}) view.addItem("Audio Compression:", c);
  view.setValue("Volume", volume_);
  view.setValue("Mic gain", micGain_);
  view.setChecked("Mute", mute_);
  view.setChecked("Mic off", micOff_);

  for (const auto& d : env_.devices) view.addItem("Video Capture Device:", d);
  if (device_ >= 0 && device_ < static_cast<int>(env_.devices.size()))
    view.selectItem("Video Capture Device:", device_);
  view.setValue("Frame rate", frameRate_);
  for (const char* c : {"H.263", "H.261", "H.261 intra", "YUV9"})
    view.addItem("Video Compression:", c);
  view.setChecked("Receive Off", receiveOff_);
  showCompressions();
  show("General");
}

void OptionsDialog::show(const std::string& page) {
  for (const char* p : {"General", "Audio", "Video"})
    view_->setVisible(std::string(p) + " page", page == p);
}

// The compression boxes only show what the stored preset decided.
void OptionsDialog::showCompressions() {
  const std::string audio = audioCompressionName(settings_.audioCompression);
  int a = audio == "GSM" ? 0 : audio == "ADPCM" ? 1 : 2;
  view_->selectItem("Audio Compression:", a);
  const std::string video =
      videoCompressionName(settings_.videoCompression, settings_.intraOnly != 0);
  int v = video == "H.263" ? 0 : video == "H.261" ? 1 : video == "H.261 intra" ? 2 : 3;
  view_->selectItem("Video Compression:", v);
}

void OptionsDialog::apply() {
  if (presetIndex(preset_) >= 0) settings_.preset = preset_;
  settings_.name = name_.substr(0, 29);
  settings_.email = email_.substr(0, 29);
  settings_.directoryServer = server_.substr(0, 49);
  settings_.autoAccept = autoAccept_;
  settings_.receiveOff = receiveOff_;
  settings_.mute = mute_;
  settings_.micOff = micOff_;
  settings_.volume = volume_;
  settings_.micGain = micGain_;
  applyPreset(settings_);
  frameRate_ = settings_.frameRate;  // the preset's rate, until the slider moves again
  showCompressions();
  view_->setValue("Frame rate", settings_.frameRate);
}

void OptionsDialog::onClick(std::string_view control) {
  if (control == "General" || control == "Audio" || control == "Video") {
    show(std::string(control));
  } else if (control == "Apply") {
    apply();
    // Mute, Mic off and the compression act from now on, not when the dialog closes.
    if (env_.applied) env_.applied();
  } else if (control == "OK") {
    if (device_ != settings_.captureDevice) {
      if (env_.restartCapture) env_.restartCapture(device_);
      settings_.captureDevice = device_;
    }
    const int rate = frameRate_;
    apply();
    // The slider may say 0; the rate stored is never below the least the pacing takes.
    const int highest = std::max(settings_.highestFrameRate, kMinFrameRate);
    settings_.frameRate = std::clamp(rate, kMinFrameRate, highest);
    if (env_.applied) env_.applied();
    view_->close();
  } else if (control == "Cancel") {
    view_->close();
  } else if (control == "Default") {
    frameRate_ = highestRateOf(settings_, preset_);
    view_->setValue("Frame rate", frameRate_);
  } else if (control == "Auto accept") {
    autoAccept_ = !autoAccept_;
    view_->setChecked("Auto accept", autoAccept_);
  } else if (control == "Mute" || control == "Mic off" || control == "Receive Off") {
    bool& box = control == "Mute" ? mute_ : control == "Mic off" ? micOff_ : receiveOff_;
    box = !box;
    view_->setChecked(control, box);
  } else if (control == "Video Format" || control == "Video Source") {
    auto& describe = control == "Video Format" ? env_.formatOf : env_.sourceOf;
    std::string text = describe ? describe(device_) : "";
    view_->messageBox(std::string(control), text.empty() ? "The capture device does not say" : text,
                      ui::Icon::kInformation);
  }
}

void OptionsDialog::onSelect(std::string_view list, int index, const std::string& item) {
  if (list == "Connection" && index >= 0) preset_ = item;
  if (list == "Video Capture Device:" && index >= 0) device_ = index;
  // The compression boxes follow the preset, not the user.
  if (list == "Audio Compression:" || list == "Video Compression:") showCompressions();
}

void OptionsDialog::onText(std::string_view field, const std::string& text) {
  if (field == "Directory Server:") server_ = text;
  if (field == "Your name:") name_ = text;
  if (field == "E-mail address:") email_ = text;
}

void OptionsDialog::onValue(std::string_view control, int value, bool released) {
  if (!released) return;
  if (control == "Volume") volume_ = std::clamp(value, 0, 100);
  if (control == "Mic gain") micGain_ = std::clamp(value, 0, 100);
  if (control == "Frame rate") frameRate_ = std::clamp(value, 0, 10);
}

}  // namespace zep::kestrel
