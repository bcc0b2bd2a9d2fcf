// The headless front end: every window prints each visible change as one line on its output,
// "Title: control ..." (a control set again to what it shows prints nothing), and typed lines
// act on the topmost window:
//   click CONTROL                 a button, or a menu item as "Menu/Item"
//   select LIST = ITEM            select the entry ITEM (or "#N", the Nth; nothing after "="
//                                 clears the selection)
//   type FIELD = TEXT             replace a text field's contents
//   slide CONTROL = VALUE         move a slider and let go of it
//   close                         the window's close box
// A modeless window (View::openWindow) takes the typed lines while it is shown and no modal
// dialog is open; the one shown last wins. Columns of a row print separated by " | ", and
// `select` finds a row by its whole text or by its first column.
// The end of the input closes the main window, unless the program keeps running without input
// (a plug-in started with no input ends when it is told to quit).
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/view.h"

namespace zep::ui {

// True when a program should run headless: asked for with --headless, or no display to show
// windows on.
bool wantsHeadless(int argc, char** argv);

class HeadlessApp {
 public:
  HeadlessApp(std::FILE* out, std::istream& in, bool closeOnInputEnd = true);
  // Waits briefly for the input to end; a reader still blocked in a read of an open input is
  // left to end with the process.
  ~HeadlessApp();
  // Shows the main window and runs until it closes. Returns 0.
  int run(const std::string& title, Presenter& presenter);

  // Used by the windows.
  void print(const std::string& line);
  void post(std::function<void()> work);
  void runWindow(const std::string& title, Presenter& presenter);
  View* openWindow(const std::string& title, Presenter& presenter);
  int nextShown() { return ++shownCount_; }
  // A modal dialog runs its loop (the main window's is the only one otherwise).
  bool modalOpen() const { return windows_.size() > 1; }

 private:
  class Window;
  void handleLine(const std::string& line);
  Window* target();
  // Every window whose timers run: the open ones and the modeless ones.
  std::vector<Window*> timed() const;

  std::FILE* out_;
  std::istream& in_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> work_;
  std::vector<Window*> windows_;
  std::vector<std::unique_ptr<Window>> modeless_;
  int shownCount_ = 0;
  std::mutex printMutex_;
  bool inputEnded_ = false;
  bool closeOnInputEnd_;
};

}  // namespace zep::ui
