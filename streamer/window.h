// The stream client's window, titled "streamer", with its single OK button. Opening it starts
// the client; a start that fails stops the client and closes the window at once (the reason is
// in client.log). Its close box stops the client; OK ends the program and leaves the rest to
// the program's end.
#pragma once

#include <atomic>
#include <memory>

#include "streamer/client.h"
#include "ui/view.h"

namespace zep::streamer {

inline constexpr const char* kStreamerTitle = "streamer";

class StreamerWindow final : public ui::Presenter {
 public:
  explicit StreamerWindow(StreamClientSettings settings) : settings_(std::move(settings)) {}

  void attach(ui::View& view) override;
  void onClick(std::string_view control) override;
  void onClose() override;

  StreamClient* client() { return client_.get(); }

 private:
  StreamClientSettings settings_;
  ui::View* view_ = nullptr;
  std::unique_ptr<StreamClient> client_;
  std::atomic<bool> starting_{false};  // messages of the start go straight to the window
  std::atomic<bool> windowOpen_{false};
};

}  // namespace zep::streamer
