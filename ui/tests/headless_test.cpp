#include "ui/headless.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <thread>

namespace zep::ui {
namespace {

// A small window: a counter button, a list, a slider and a dialog.
class Counter final : public Presenter {
 public:
  void attach(View& view) override {
    view_ = &view;
    view.setText("Status", "ready");
    view.addItem("Things", "apple");
    view.addItem("Things", "pear");
    view.setEnabled("Remove", false);
  }
  void onClick(std::string_view control) override {
    if (control == "Count") view_->setText("Status", std::to_string(++count_));
    if (control == "Help/About")
      view_->messageBox("Info", "A counter\nof clicks", Icon::kInformation);
    if (control == "Later") {
      std::thread worker([v = view_] { v->post([v] { v->setText("Status", "from a worker"); }); });
      worker.join();
    }
    if (control == "Open") {
      Counter inner;
      view_->runDialog("Inner", inner);
      view_->setText("Status", "dialog closed");
    }
    if (control == "Done") view_->close();
    if (control == "Meter")
      for (int level : {10, 11, 12, 13, 30, 31, 0}) view_->setValue("Level", level);
  }
  void onSelect(std::string_view list, int index, const std::string& item) override {
    view_->setText("Status", std::string(list) + " " + std::to_string(index) + " " + item);
    view_->setEnabled("Remove", index >= 0);
  }
  void onValue(std::string_view control, int value, bool released) override {
    if (released) view_->setValue(control, value);
  }
  void onClose() override { view_->close(); }

 private:
  View* view_ = nullptr;
  int count_ = 0;
};

std::string runScript(const std::string& script) {
  std::FILE* out = std::tmpfile();
  std::istringstream in(script);
  HeadlessApp app(out, in);
  Counter c;
  app.run("Counter", c);
  std::rewind(out);
  std::string text;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out)) text.append(buffer, n);
  std::fclose(out);
  return text;
}

TEST(Headless, EveryVisibleChangeIsOneLineAndTypedCommandsActOnControls) {
  auto text = runScript(
      "click Count\nclick Count\nselect Things = pear\nselect Things =\nslide Volume = 40\n"
      "click Help/About\nselect Things = plum\nfrobnicate\nclick Done\n");
  EXPECT_EQ(text,
            "Counter: opened\n"
            "Counter: Status = ready\n"
            "Counter: Things + apple\n"
            "Counter: Things + pear\n"
            "Counter: Remove disabled\n"
            "Counter: Status = 1\n"
            "Counter: Status = 2\n"
            "Counter: Status = Things 1 pear\n"
            "Counter: Remove enabled\n"
            "Counter: Status = Things -1 \n"
            "Counter: Remove disabled\n"
            "Counter: Volume = 40\n"
            "Counter: message box \"Info\" (information): A counter\\nof clicks\n"
            "error: Things has no entry plum\n"
            "error: unknown command \"frobnicate\"\n"
            "Counter: closed\n");
}

TEST(Headless, AMeterIsPrintedWhenItMovesFarOrAFewTimesASecond) {
  auto text = runScript("click Meter\nclick Done\n");
  EXPECT_NE(text.find("Counter: Level = 10\nCounter: Level = 30\nCounter: Level = 0\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Level = 11"), std::string::npos) << "small steps at once are not printed";
}

TEST(Headless, DialogsTakeTheInputWhileOpenAndWorkersPostToTheWindowThread) {
  auto text = runScript("click Open\nclick Count\nclick Done\nclick Count\nclick Later\n");
  EXPECT_NE(text.find("Inner: Status = 1\nInner: closed\nCounter: Status = dialog closed\n"
                      "Counter: Status = 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Counter: Status = from a worker\nCounter: closed\n"), std::string::npos)
      << "posted work runs on the window thread, and the end of input closes the window";
}

// Starts a fast timer and a slow one; stops the slow one and closes after three ticks.
class Ticker final : public Presenter {
 public:
  void attach(View& view) override {
    view_ = &view;
    view.startTimer(1, 20);
    view.startTimer(2, 60000);
    view.insertItem("Ticks", 0, "last");
  }
  void onClick(std::string_view) override {}
  void onTimer(int id) override {
    fired.push_back(id);
    onWindowThread = onWindowThread && std::this_thread::get_id() == windowThread;
    view_->insertItem("Ticks", 0, "tick " + std::to_string(fired.size()));
    if (fired.size() == 3) {
      view_->stopTimer(1);
      view_->close();
    }
  }
  void giveUp() { view_->close(); }
  std::vector<int> fired;
  std::thread::id windowThread = std::this_thread::get_id();
  bool onWindowThread = true;

 private:
  View* view_ = nullptr;
};

TEST(Headless, WindowTimersFireOnTheWindowThreadUntilStopped) {
  std::FILE* out = std::tmpfile();
  std::istringstream in("");
  HeadlessApp app(out, in, false);
  Ticker ticker;
  std::jthread deadline([&](std::stop_token stop) {
    for (int waited = 0; waited < 5000 && !stop.stop_requested(); waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!stop.stop_requested()) app.post([&] { ticker.giveUp(); });
  });
  app.run("Ticker", ticker);
  deadline.request_stop();
  EXPECT_EQ(ticker.fired, (std::vector<int>{1, 1, 1}));
  EXPECT_TRUE(ticker.onWindowThread);
  std::fclose(out);
}

}  // namespace
}  // namespace zep::ui

namespace zep::ui {
namespace {

// A main window that opens a modeless window of two-column rows and takes posted commands.
class Owner final : public Presenter {
 public:
  class Side final : public Presenter {
   public:
    void attach(View& view) override {
      view_ = &view;
      view.insertItem("Rows", 0, "bob\tb@x");
      view.insertItem("Rows", 0, "alice\ta@x");
    }
    void onClick(std::string_view control) override {
      if (control == "Hide") view_->close();
      if (control == "Drop") view_->removeItemAt("Rows", 0);
    }
    void onSelect(std::string_view, int index, const std::string& item) override {
      view_->setText("Picked", std::to_string(index) + " " + item);
    }
    View* view_ = nullptr;
  };
  void attach(View& view) override {
    view_ = &view;
    side_view_ = view.openWindow("Side", side_);
  }
  void onClick(std::string_view control) override {
    if (control == "Show") side_view_->setVisible("", true);
    if (control == "Post") view_->postCommand(0x3DFB0002u, 77);
  }
  void onCommand(std::uint32_t first, std::uintptr_t second) override {
    view_->setText("Command", std::to_string(first >> 16) + " " + std::to_string(second));
  }
  void onClose() override { view_->close(); }

 private:
  View* view_ = nullptr;
  View* side_view_ = nullptr;
  Side side_;
};

TEST(Headless, ModelessWindowsTakeTheInputWhileShownAndCommandsArePosted) {
  std::FILE* out = std::tmpfile();
  std::istringstream in(
      "click Show\nselect Rows = bob\nclick Drop\nclick Hide\nclick Post\nclick Post\n");
  {
    Owner owner;  // presenters outlive their windows
    HeadlessApp app(out, in);
    app.run("Owner", owner);
  }
  std::rewind(out);
  std::string text;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out)) text.append(buffer, n);
  std::fclose(out);
  EXPECT_EQ(text,
            "Owner: opened\n"
            "Side: opened\n"
            "Side: Rows + bob | b@x\n"
            "Side: Rows + alice | a@x\n"
            "Side: shown\n"
            "Side: Picked = 1 bob | b@x\n"
            "Side: Rows - alice | a@x\n"
            "Side: hidden\n"
            "Owner: Command = 15867 77\n"  // to the owner again once the side is hidden; twice
                                           // the same text shows once
            "Owner: closed\n");
}

}  // namespace
}  // namespace zep::ui
