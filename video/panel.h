// The video tool's window ("Video Tool": the Camera box, the status line, the File, Capture and
// Tools menus), its three dialogs and its threads, around a VideoCore.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "applink/link.h"
#include "platform/capture.h"
#include "ui/view.h"
#include "video/display_files.h"
#include "video/video_core.h"

namespace zep::video {

inline constexpr int kRefreshPeriodMs = 10000;
inline constexpr std::size_t kMaxTitle = 69;

struct VideoToolSettings {
  clock::Clock* clock = nullptr;
  host::HostIdentity host;
  applink::LinkOptions linkOptions;
  VideoCore::ConnectCamera connectCamera;
  std::string settingsPath = "video.cfg";
  std::unique_ptr<DisplayFiles> displayFiles;  // ZEP_VIDEO_OUT
};

// Display windows of member s at x = 200 s + 100, y = 100; the title "user@host", cut.
std::string displayTitle(const std::string& user, const std::string& hostName);

class VideoToolPanel final : public ui::Presenter, public VideoHooks {
 public:
  explicit VideoToolPanel(VideoToolSettings settings);
  ~VideoToolPanel() override;

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onClose() override;

  // VideoHooks.
  void message(const std::string& title, const std::string& text, ui::Icon icon) override;
  void openDisplay(int slot) override;
  void closeDisplay(int slot) override;
  void paint(int slot, const picture::VideoFrame420& frame) override;
  void cameraLost(const std::string& why) override;

  VideoCore* core() { return core_.get(); }
  applink::Link* link() { return link_.get(); }

 private:
  void receive(const std::stop_token& stop);
  void refresh(const std::stop_token& stop);
  void startCapture();
  void stopCapture();
  void connectionPanel();
  void advanced();
  void statisticsDialog();
  void shutdown(bool windowAlive);
  // Runs work later on the window thread unless shutdown has begun by then.
  void post(std::function<void()> work);
  // Runs work on the window thread and waits for it (bounded), from any thread; nothing runs
  // once shutdown has begun.
  void onWindowThread(const std::function<void()>& work);
  void showDisplay(int slot);

  VideoToolSettings settings_;
  ui::View* view_ = nullptr;
  std::thread::id windowThread_;
  std::unique_ptr<applink::Link> link_;
  std::unique_ptr<VideoCore> core_;
  std::jthread receiver_;
  std::jthread refresher_;
  std::atomic<bool> closing_{false};
  std::atomic<bool> viewAlive_{false};  // false once the window may be gone
};

}  // namespace zep::video
