// A view for presenter tests: remembers every control's state, queues posted work until the
// test drains it, and lets a test script modal dialogs.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ui/view.h"

namespace zep::ui {

class RecordingView final : public View {
 public:
  struct Box {
    std::string title;
    std::string text;
    Icon icon;
  };

  void setText(std::string_view c, const std::string& t) override { texts[std::string(c)] = t; }
  void setEnabled(std::string_view c, bool e) override { enabled[std::string(c)] = e; }
  void setChecked(std::string_view c, bool on) override { checked[std::string(c)] = on; }
  void setValue(std::string_view c, int v) override { values[std::string(c)] = v; }
  void setPicture(std::string_view c, std::string_view p) override {
    pictures[std::string(c)] = std::string(p);
  }
  void addItem(std::string_view l, const std::string& item) override {
    lists[std::string(l)].push_back(item);
  }
  void removeItem(std::string_view l, const std::string& item) override {
    auto& v = lists[std::string(l)];
    if (auto it = std::find(v.begin(), v.end(), item); it != v.end()) v.erase(it);
  }
  void insertItem(std::string_view l, int index, const std::string& item) override {
    auto& v = lists[std::string(l)];
    v.insert(v.begin() + std::clamp<long>(index, 0, static_cast<long>(v.size())), item);
  }
  void clearItems(std::string_view l) override { lists[std::string(l)].clear(); }
  void messageBox(const std::string& title, const std::string& text, Icon icon) override {
    boxes.push_back({title, text, icon});
  }
  void post(std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
  }
  void runDialog(const std::string& title, Presenter& presenter) override {
    auto child = std::make_unique<RecordingView>();
    presenter.attach(*child);
    dialogs.push_back(title);
    modal->most = std::max(modal->most, ++modal->open);
    if (onDialog) onDialog(title, presenter, *child);
    --modal->open;
  }
  bool modalOpen() const override { return modal->open > 0; }
  void close() override { closed = true; }
  // Timers do not fire by themselves here: a test calls the presenter's onTimer.
  void startTimer(int id, int periodMs) override { timers[id] = periodMs; }
  void stopTimer(int id) override { timers.erase(id); }
  bool timerRunning(int id) const { return timers.count(id) > 0; }

  struct Display {
    std::string title;
    int x = 0, y = 0;
    bool sizable = true;
    bool open = false;
    int painted = 0;
    std::vector<std::uint8_t> last;  // the last picture painted
    std::string text;
  };
  void openDisplay(int id, const std::string& title, int x, int y, bool sizable) override {
    std::lock_guard lock(mutex_);
    auto& d = displays[id];
    d.title = title, d.x = x, d.y = y, d.sizable = sizable, d.open = true;
  }
  void closeDisplay(int id) override {
    std::lock_guard lock(mutex_);
    displays[id].open = false;
  }
  void paintDisplay(int id, std::span<const std::uint8_t> rgb, int, int) override {
    std::lock_guard lock(mutex_);
    auto& d = displays[id];
    d.painted++;
    d.last.assign(rgb.begin(), rgb.end());
  }
  void setDisplayText(int id, const std::string& text) override {
    std::lock_guard lock(mutex_);
    displays[id].text = text;
  }
  void removeItemAt(std::string_view l, int index) override {
    auto& v = lists[std::string(l)];
    if (index >= 0 && index < static_cast<int>(v.size())) v.erase(v.begin() + index);
  }
  void selectItem(std::string_view l, int index) override { selected[std::string(l)] = index; }
  void setVisible(std::string_view c, bool v) override { visible[std::string(c)] = v; }
  View* openWindow(const std::string& title, Presenter& presenter) override {
    windows.push_back(std::make_unique<RecordingView>());
    windows.back()->modal = modal;  // one program: one count
    windowTitles.push_back(title);
    presenter.attach(*windows.back());
    return windows.back().get();
  }
  // Posted commands are kept for the test to read (any thread).
  struct Command {
    std::uint32_t first;
    std::uintptr_t second;
  };
  void postCommand(std::uint32_t first, std::uintptr_t second) override {
    std::lock_guard lock(mutex_);
    commands_.push_back({first, second});
  }
  std::vector<Command> takeCommands() {
    std::lock_guard lock(mutex_);
    return std::exchange(commands_, {});
  }
  bool isVisible(const std::string& c) const {
    auto it = visible.find(c);
    return it != visible.end() && it->second;
  }

  Display display(int id) {
    std::lock_guard lock(mutex_);
    return displays[id];
  }

  // Runs the work posted so far, on the calling thread; returns how much there was.
  int drain() {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard lock(mutex_);
      work.swap(posted_);
    }
    for (auto& w : work) w();
    return static_cast<int>(work.size());
  }
  bool isEnabled(const std::string& c) const {
    auto it = enabled.find(c);
    return it != enabled.end() && it->second;
  }
  const std::vector<std::string>& list(const std::string& l) { return lists[l]; }

  std::map<std::string, std::string> texts;
  std::map<std::string, bool> enabled;
  std::map<std::string, bool> checked;
  std::map<std::string, int> values;
  std::map<std::string, std::string> pictures;
  std::map<std::string, std::vector<std::string>> lists;
  std::vector<Box> boxes;
  std::map<int, int> timers;  // running timers and their periods
  std::map<int, Display> displays;
  std::vector<std::string> dialogs;
  std::map<std::string, int> selected;  // selections the program made
  std::map<std::string, bool> visible;
  std::vector<std::unique_ptr<RecordingView>> windows;  // modeless windows opened
  std::vector<std::string> windowTitles;
  bool closed = false;
  // Modal dialogs open now, and the most ever open at once (nested), shared with the windows
  // opened from this one.
  struct ModalCount {
    int open = 0, most = 0;
  };
  std::shared_ptr<ModalCount> modal = std::make_shared<ModalCount>();
  // Drives a modal dialog while it is open.
  std::function<void(const std::string&, Presenter&, RecordingView&)> onDialog;

 private:
  std::mutex mutex_;
  std::vector<std::function<void()>> posted_;
  std::vector<Command> commands_;
};

}  // namespace zep::ui
