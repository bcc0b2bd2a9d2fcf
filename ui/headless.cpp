#include "ui/headless.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <thread>

namespace zep::ui {

bool wantsHeadless(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string_view(argv[i]) == "--headless") return true;
  auto unset = [](const char* name) {
    const char* v = std::getenv(name);
    return !v || !*v;
  };
  return unset("DISPLAY") && unset("WAYLAND_DISPLAY") && unset("QT_QPA_PLATFORM");
}

namespace {

std::string oneLine(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += " | ";
    else if (c != '\r')
      out += c;
  }
  return out;
}

const char* iconName(Icon icon) {
  switch (icon) {
    case Icon::kInformation:
      return " (information)";
    case Icon::kWarning:
      return " (warning)";
    case Icon::kError:
      return " (error)";
    case Icon::kNone:
      break;
  }
  return "";
}

}  // namespace

class HeadlessApp::Window final : public View {
 public:
  using Clock = std::chrono::steady_clock;

  Window(HeadlessApp& app, std::string title, Presenter& presenter)
      : app_(app), title_(std::move(title)), presenter_(presenter) {}
  ~Window() override {
    if (modeless_) presenter_.onDestroyed();
  }

  void setText(std::string_view control, const std::string& text) override {
    change(control, " = " + oneLine(text));
  }
  void setEnabled(std::string_view control, bool enabled) override {
    change(control, enabled ? " enabled" : " disabled", "enabled");
  }
  void setChecked(std::string_view control, bool checked) override {
    change(control, checked ? " checked" : " unchecked", "checked");
  }
  // A value that keeps changing (a level meter) is printed when it moved by kValueStep or
  // more since it was last printed, or else at most every kValuePeriod: the output follows it
  // without a line for every block of sound.
  void setValue(std::string_view control, int value) override {
    auto now = Clock::now();
    auto [it, first] = values_.try_emplace(std::string(control), Printed{value, now});
    Printed& last = it->second;
    if (!first && (value == last.value ||
                   (std::abs(value - last.value) < kValueStep && now - last.at < kValuePeriod)))
      return;
    last = {value, now};
    change(control, " = " + std::to_string(value));
  }
  void setPicture(std::string_view control, std::string_view picture) override {
    change(control, " picture " + std::string(picture), "picture");
  }
  void addItem(std::string_view list, const std::string& item) override {
    lists_[std::string(list)].push_back(item);
    say(std::string(list) + " + " + oneLine(item));
  }
  void removeItem(std::string_view list, const std::string& item) override {
    auto& items = lists_[std::string(list)];
    auto it = std::find(items.begin(), items.end(), item);
    if (it != items.end()) items.erase(it);
    say(std::string(list) + " - " + oneLine(item));
  }
  void insertItem(std::string_view list, int index, const std::string& item) override {
    auto& items = lists_[std::string(list)];
    items.insert(items.begin() + std::clamp<long>(index, 0, static_cast<long>(items.size())), item);
    say(std::string(list) + " + " + oneLine(item));
  }
  void removeItemAt(std::string_view list, int index) override {
    auto& items = lists_[std::string(list)];
    if (index < 0 || index >= static_cast<int>(items.size())) return;
    std::string item = std::move(items[static_cast<std::size_t>(index)]);
    items.erase(items.begin() + index);
    say(std::string(list) + " - " + oneLine(item));
  }
  void selectItem(std::string_view list, int index) override {
    std::string item = itemAt(std::string(list), index);
    say(std::string(list) + (index < 0 ? " selection cleared" : " selected " + oneLine(item)));
  }
  void setVisible(std::string_view control, bool visible) override {
    if (control.empty()) {
      if (visible) shownOrder_ = app_.nextShown();
      if (visible == visible_) return;
      visible_ = visible;
      say(visible ? "shown" : "hidden");
      return;
    }
    change(control, visible ? " shown" : " hidden", "visible");
  }
  View* openWindow(const std::string& title, Presenter& presenter) override {
    return app_.openWindow(title, presenter);
  }
  void postCommand(std::uint32_t first, std::uintptr_t second) override {
    app_.post([this, first, second] { presenter_.onCommand(first, second); });
  }
  bool modalOpen() const override { return app_.modalOpen(); }
  void clearItems(std::string_view list) override {
    lists_[std::string(list)].clear();
    say(std::string(list) + " cleared");
  }
  void messageBox(const std::string& title, const std::string& text, Icon icon) override {
    say("message box \"" + title + "\"" + iconName(icon) + ": " + oneLine(text));
  }
  void post(std::function<void()> work) override { app_.post(std::move(work)); }
  void runDialog(const std::string& title, Presenter& presenter) override {
    app_.runWindow(title, presenter);
  }
  void close() override {
    if (modeless_)
      setVisible("", false);
    else
      open_ = false;
  }
  void startTimer(int id, int periodMs) override {
    auto period = std::chrono::milliseconds(std::max(periodMs, 1));
    timers_[id] = {period, Clock::now() + period};
  }
  void stopTimer(int id) override { timers_.erase(id); }

  // A display says when it opens and closes, and once a second how many pictures it painted.
  void openDisplay(int id, const std::string& title, int, int, bool) override {
    std::lock_guard lock(displayMutex_);
    displays_[id] = {title, 0, Clock::now(), {}, std::nullopt};
    say("display " + std::to_string(id) + " opened \"" + oneLine(title) + "\"");
  }
  void closeDisplay(int id) override {
    std::lock_guard lock(displayMutex_);
    if (displays_.erase(id)) say("display " + std::to_string(id) + " closed");
  }
  void paintDisplay(int id, std::span<const std::uint8_t>, int, int) override {
    std::lock_guard lock(displayMutex_);
    auto it = displays_.find(id);
    if (it == displays_.end()) return;
    auto& d = it->second;
    d.painted++;
    if (Clock::now() - d.since < std::chrono::seconds(1)) return;
    say("display " + std::to_string(id) + " painted " + std::to_string(d.painted) + " pictures" +
        (d.text.empty() ? "" : ", text \"" + oneLine(d.text) + "\""));
    d.painted = 0;
    d.since = Clock::now();
  }

  // A changed text is said at once, unless this display said one less than a second ago (the
  // rates of a member window change every few pictures); the painted line carries it too.
  void setDisplayText(int id, const std::string& text) override {
    std::lock_guard lock(displayMutex_);
    auto it = displays_.find(id);
    if (it == displays_.end() || it->second.text == text) return;
    auto& d = it->second;
    d.text = text;
    if (d.textSaid && Clock::now() - *d.textSaid < std::chrono::seconds(1)) return;
    d.textSaid = Clock::now();
    say("display " + std::to_string(id) + " text \"" + oneLine(text) + "\"");
  }

  // The earliest time a timer of this window is due.
  std::optional<Clock::time_point> nextDue() const {
    std::optional<Clock::time_point> next;
    for (const auto& [id, t] : timers_)
      if (!next || t.due < *next) next = t.due;
    return next;
  }
  // Fires every timer that is due; a timer stopped or restarted by an earlier one is left
  // as that one made it.
  void fireDue() {
    std::vector<int> due;
    auto now = Clock::now();
    for (const auto& [id, t] : timers_)
      if (t.due <= now) due.push_back(id);
    for (int id : due) {
      auto it = timers_.find(id);
      if (it == timers_.end() || it->second.due > now || !open_) continue;
      it->second.due = now + it->second.period;
      presenter_.onTimer(id);
    }
  }

  bool open() const { return open_; }
  bool visible() const { return visible_; }
  int shownOrder() const { return shownOrder_; }
  void makeModeless() { modeless_ = true, visible_ = false; }
  Presenter& presenter() { return presenter_; }
  void say(const std::string& text) { app_.print(title_ + ": " + text); }
  static constexpr int kValueStep = 5;
  static constexpr auto kValuePeriod = std::chrono::milliseconds(250);
  struct Printed {
    int value;
    Clock::time_point at;
  };
  std::map<std::string, Printed> values_;
  // Prints a control's new state only when it differs from what is shown: a value set again
  // unchanged is no visible change.
  void change(std::string_view control, const std::string& state, const char* aspect = "value") {
    std::string key = std::string(control) + "\n" + aspect;
    if (auto it = shown_.find(key); it != shown_.end() && it->second == state) return;
    shown_[key] = state;
    say(std::string(control) + state);
  }
  int indexOf(const std::string& list, const std::string& item) {
    auto& items = lists_[list];
    if (!item.empty() && item[0] == '#') {
      int n = std::atoi(item.c_str() + 1);
      return n >= 0 && n < static_cast<int>(items.size()) ? n : -1;
    }
    auto it = std::find(items.begin(), items.end(), item);
    if (it == items.end())  // a row of several columns, by its first
      it = std::find_if(items.begin(), items.end(), [&](const std::string& row) {
        return row.size() > item.size() && row.compare(0, item.size(), item) == 0 &&
               row[item.size()] == '\t';
      });
    return it == items.end() ? -1 : static_cast<int>(it - items.begin());
  }
  std::string itemAt(const std::string& list, int index) {
    auto& items = lists_[list];
    return index >= 0 && index < static_cast<int>(items.size())
               ? items[static_cast<std::size_t>(index)]
               : "";
  }

 private:
  HeadlessApp& app_;
  std::string title_;
  Presenter& presenter_;
  std::map<std::string, std::vector<std::string>> lists_;
  std::map<std::string, std::string> shown_;
  struct Timer {
    std::chrono::milliseconds period;
    Clock::time_point due;
  };
  std::map<int, Timer> timers_;
  struct Display {
    std::string title;
    int painted = 0;
    Clock::time_point since;
    std::string text;
    std::optional<Clock::time_point> textSaid;
  };
  std::mutex displayMutex_;
  std::map<int, Display> displays_;
  bool open_ = true;
  bool modeless_ = false;
  bool visible_ = true;
  int shownOrder_ = 0;
};

HeadlessApp::HeadlessApp(std::FILE* out, std::istream& in, bool closeOnInputEnd)
    : out_(out), in_(in), closeOnInputEnd_(closeOnInputEnd) {}

View* HeadlessApp::openWindow(const std::string& title, Presenter& presenter) {
  modeless_.push_back(std::make_unique<Window>(*this, title, presenter));
  Window& w = *modeless_.back();
  w.makeModeless();
  w.say("opened");
  presenter.attach(w);
  return &w;
}

HeadlessApp::Window* HeadlessApp::target() {
  if (windows_.size() > 1) return windows_.back();  // a modal dialog
  // The window shown last; the main window comes back to the front when it is shown again.
  Window* shown = windows_.empty() ? nullptr : windows_.back();
  for (auto& w : modeless_)
    if (w->visible() && (!shown || w->shownOrder() > shown->shownOrder())) shown = w.get();
  return shown;
}

std::vector<HeadlessApp::Window*> HeadlessApp::timed() const {
  std::vector<Window*> all(windows_);
  for (const auto& w : modeless_) all.push_back(w.get());
  return all;
}

void HeadlessApp::print(const std::string& line) {
  std::lock_guard lock(printMutex_);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void HeadlessApp::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  changed_.notify_all();
}

void HeadlessApp::handleLine(const std::string& line) {
  Window* top = target();
  if (!top || line.empty()) return;
  Window& w = *top;
  auto space = line.find(' ');
  std::string command = line.substr(0, space);
  std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  std::string control = rest, value;
  if (auto eq = rest.find(" ="); eq != std::string::npos) {
    control = rest.substr(0, eq);
    value = eq + 3 <= rest.size() ? rest.substr(eq + 3) : "";
  }
  if (command == "click") {
    w.presenter().onClick(control);
  } else if (command == "select") {
    int index = value.empty() ? -1 : w.indexOf(control, value);
    if (!value.empty() && index < 0) {
      print("error: " + control + " has no entry " + value);
      return;
    }
    w.presenter().onSelect(control, index, w.itemAt(control, index));
  } else if (command == "type") {
    w.presenter().onText(control, value);
  } else if (command == "slide") {
    int v = std::atoi(value.c_str());
    w.presenter().onValue(control, v, false);
    w.presenter().onValue(control, v, true);
  } else if (command == "close") {
    w.presenter().onClose();
  } else {
    print("error: unknown command \"" + line + "\"");
  }
}

void HeadlessApp::runWindow(const std::string& title, Presenter& presenter) {
  Window window(*this, title, presenter);
  windows_.push_back(&window);
  window.say("opened");
  presenter.attach(window);
  while (window.open()) {
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      auto wake = [&] {
        return !work_.empty() || (inputEnded_ && closeOnInputEnd_) || !window.open();
      };
      // The timers of every open window run, also beneath a modal dialog.
      std::optional<Window::Clock::time_point> due;
      for (const Window* w : timed())
        if (auto d = w->nextDue(); d && (!due || *d < *due)) due = d;
      if (due)
        changed_.wait_until(lock, *due, wake);
      else
        changed_.wait(lock, wake);
      if (!window.open()) break;
      if (due && Window::Clock::now() >= *due) {
        lock.unlock();
        for (Window* w : timed()) w->fireDue();
        continue;
      }
      if (!wake()) continue;
      if (work_.empty()) {
        // No more input: the window is closed as by its close box.
        lock.unlock();
        presenter.onClose();
        if (window.open()) window.close();
        break;
      }
      work = std::move(work_.front());
      work_.pop_front();
    }
    work();
  }
  windows_.pop_back();
  window.say("closed");
}

int HeadlessApp::run(const std::string& title, Presenter& presenter) {
  // Typed lines reach the window thread through the same queue as posted work.
  reader_ = std::thread([this] {
    std::string line;
    while (std::getline(in_, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      post([this, line] { handleLine(line); });
    }
    {
      std::lock_guard lock(mutex_);
      inputEnded_ = true;
    }
    changed_.notify_all();
  });
  runWindow(title, presenter);
  return 0;
}

HeadlessApp::~HeadlessApp() {
  modeless_.clear();
  if (!reader_.joinable()) return;
  std::unique_lock lock(mutex_);
  bool ended = changed_.wait_for(lock, std::chrono::seconds(1), [this] { return inputEnded_; });
  lock.unlock();
  if (ended)
    reader_.join();
  else
    reader_.detach();
}

}  // namespace zep::ui
