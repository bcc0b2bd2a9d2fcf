// The "Options" dialog: General (connection preset, auto accept, Directory Server, name and
// e-mail), Audio (mode, the compression the preset chose, volume, microphone gain, mute,
// microphone off) and Video (capture device, its format and source, frame rate, the
// compression the preset chose, receive off) pages, with OK, Cancel and Apply.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kestrel/settings.h"
#include "ui/view.h"

namespace zep::kestrel {

inline constexpr const char* kOptionsTitle = "Options";
inline constexpr const char* kPresets[] = {"Modem 28.8", "ISDN-1", "ISDN-2", "LAN"};

struct OptionsEnvironment {
  // The capture devices by description, in the order their index is stored.
  std::vector<std::string> devices;
  // What a device offers, for "Video Format" and "Video Source"; empty when it cannot tell.
  std::function<std::string(int device)> formatOf;
  std::function<std::string(int device)> sourceOf;
  // The capture device changed on OK (before the rest is stored).
  std::function<void(int device)> restartCapture;
  // Apply or OK stored the pages into the settings (the program acts on them at once).
  std::function<void()> applied;
};

class OptionsDialog final : public ui::Presenter {
 public:
  OptionsDialog(KestrelSettings& settings, OptionsEnvironment environment)
      : settings_(settings), env_(std::move(environment)) {}

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onSelect(std::string_view list, int index, const std::string& item) override;
  void onText(std::string_view field, const std::string& text) override;
  void onValue(std::string_view control, int value, bool released) override;
  void onClose() override { view_->close(); }

 private:
  void show(const std::string& page);
  void showCompressions();
  void apply();

  KestrelSettings& settings_;
  OptionsEnvironment env_;
  ui::View* view_ = nullptr;
  // What the pages hold until Apply or OK stores it.
  std::string preset_, server_, name_, email_;
  bool autoAccept_ = false, receiveOff_ = false, mute_ = false, micOff_ = false;
  int volume_ = 50, micGain_ = 50, frameRate_ = 5, device_ = 0;
};

}  // namespace zep::kestrel
