#include "streamer/window.h"

namespace zep::streamer {

void StreamerWindow::attach(ui::View& view) {
  view_ = &view;
  windowOpen_ = true;
  StreamClientSettings settings = settings_;
  // The start shows its message on the window thread; the mixer's clock posts its own.
  starting_ = true;
  settings.showMessage = [this](const std::string& title, const std::string& text) {
    if (starting_)
      view_->messageBox(title, text, ui::Icon::kError);
    else if (windowOpen_)
      view_->post([this, title, text] { view_->messageBox(title, text, ui::Icon::kError); });
  };
  client_ = std::make_unique<StreamClient>(settings);
  bool started = client_->start();
  starting_ = false;
  if (!started) {
    client_->stop();
    view.close();
  }
}

void StreamerWindow::onClick(std::string_view control) {
  if (control != "OK") return;
  // The client goes with the program, without the stop steps; nothing may post to the closed
  // window meanwhile.
  windowOpen_ = false;
  view_->close();
}

void StreamerWindow::onClose() {
  if (client_) client_->stop();
  windowOpen_ = false;
  view_->close();
}

}  // namespace zep::streamer
