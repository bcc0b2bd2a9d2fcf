// The toolkit-free side of every window. A presenter holds the window's behaviour and talks to
// an abstract View; controls are named by their labels ("Accept", "Status", "Members"), menu
// items by their path ("File/Exit"). Three views implement it: the Qt front end, the headless
// front end (one line per visible change, typed commands in), and a recording fake for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace zep::ui {

enum class Icon { kNone, kInformation, kWarning, kError };

class Presenter;

class View {
 public:
  virtual ~View() = default;

  virtual void setText(std::string_view control, const std::string& text) = 0;
  virtual void setEnabled(std::string_view control, bool enabled) = 0;
  virtual void setChecked(std::string_view control, bool checked) = 0;
  virtual void setValue(std::string_view control, int value) = 0;
  virtual void setPicture(std::string_view control, std::string_view picture) = 0;
  virtual void addItem(std::string_view list, const std::string& item) = 0;
  // Puts the item at position index of the list (0 first); past the end it goes last.
  virtual void insertItem(std::string_view list, int index, const std::string& item) = 0;
  virtual void removeItem(std::string_view list, const std::string& item) = 0;
  virtual void clearItems(std::string_view list) = 0;
  // A modal message box; returns when the user has closed it.
  virtual void messageBox(const std::string& title, const std::string& text, Icon icon) = 0;

  // Runs work on the window thread. Worker threads change controls only through this.
  virtual void post(std::function<void()> work) = 0;
  // A window timer: the presenter's onTimer(id) runs on the window thread every periodMs
  // until the timer is stopped or the window closes. Starting a running timer restarts its
  // period. Called on the window thread.
  virtual void startTimer(int id, int periodMs) = 0;
  virtual void stopTimer(int id) = 0;
  // Opens a modal dialog driven by presenter; returns when it closes. The dialog's view is
  // handed to the presenter's attach() before it is shown.
  virtual void runDialog(const std::string& title, Presenter& presenter) = 0;
  // Closes this window (a dialog: ends runDialog).
  virtual void close() = 0;

  // Picture windows beside this one, numbered by the caller: each shows the pictures painted
  // into it stretched over its whole client area. Opened and closed on the window thread,
  // painted from any thread; rgb is 24-bit blue-green-red, rows bottom to top.
  virtual void openDisplay(int id, const std::string& title, int x, int y, bool sizable) = 0;
  virtual void closeDisplay(int id) = 0;
  virtual void paintDisplay(int id, std::span<const std::uint8_t> rgb, int width, int height) = 0;
  // The text line a picture window shows under its picture (empty: none); from any thread.
  virtual void setDisplayText(int id, const std::string& text) { (void)id, (void)text; }

  // Lists of several columns take each row as one item with its columns separated by '\t'.
  // Removes the entry at position index (0 first); one of several equal entries stays.
  virtual void removeItemAt(std::string_view list, int index) { (void)list, (void)index; }
  // Selects the entry at index (-1: none), as the program's own act: it is not reported back
  // through the presenter's onSelect.
  virtual void selectItem(std::string_view list, int index) { (void)list, (void)index; }
  // Shows or hides a control; an empty name is the window itself, which comes to the front
  // when shown.
  virtual void setVisible(std::string_view control, bool visible) { (void)control, (void)visible; }
  // Opens a modeless window beside this one, hidden until setVisible("", true), driven by
  // presenter (attached before this returns). It lives as long as this window; its close()
  // hides it. Null when this front end has no such windows.
  virtual View* openWindow(const std::string& title, Presenter& presenter) {
    (void)title, (void)presenter;
    return nullptr;
  }
  // A posted command: the presenter's onCommand(first, second) runs later on the window
  // thread. Callable from any thread.
  virtual void postCommand(std::uint32_t first, std::uintptr_t second) {
    (void)first, (void)second;
  }
  // True while a modal dialog or message box of this program runs its loop: whatever opens
  // another one now would open it inside that loop. Called on the window thread.
  virtual bool modalOpen() const { return false; }
};

// What the user does to a window, delivered on the window thread. A presenter outlives the
// windows it drives.
class Presenter {
 public:
  virtual ~Presenter() = default;
  // Called once with the window's view, before it is shown.
  virtual void attach(View& view) = 0;
  // A button or menu item.
  virtual void onClick(std::string_view control) = 0;
  // A list selection; index -1 when nothing is selected.
  virtual void onSelect(std::string_view list, int index, const std::string& item) {
    (void)list, (void)index, (void)item;
  }
  virtual void onText(std::string_view field, const std::string& text) { (void)field, (void)text; }
  // A slider moved; released is true when the user lets go of the thumb.
  virtual void onValue(std::string_view control, int value, bool released) {
    (void)control, (void)value, (void)released;
  }
  // The window's close box.
  virtual void onClose() {}
  // A window timer fired.
  virtual void onTimer(int id) { (void)id; }
  // A command posted to this window (View::postCommand).
  virtual void onCommand(std::uint32_t first, std::uintptr_t second) { (void)first, (void)second; }
  // A modeless window's view (View::openWindow) is being destroyed with the window it was
  // opened from: it must not be used, nor posted to, once this returns.
  virtual void onDestroyed() {}
};

}  // namespace zep::ui
