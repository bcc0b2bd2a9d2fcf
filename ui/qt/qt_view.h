// The Qt 6 front end: a View over real widgets. Each window's layout is built by a function
// that creates its widgets through QtWindow, naming each control by its label; the generic
// View calls then find them by name, and user actions reach the presenter on the window thread.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/view.h"

class QAbstractButton;
class QBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenuBar;
class QProgressBar;
class QSlider;
class QTimer;
class QWidget;

namespace zep::ui::qt {

class QtWindow;
using Layout = std::function<void(QtWindow&)>;

// The windows a program has, by title.
class QtApp {
 public:
  void addWindow(const std::string& title, Layout layout) { layouts_[title] = std::move(layout); }
  // Shows the main window and runs the event loop until it closes.
  int run(const std::string& title, Presenter& presenter);
  // Builds a window without showing it (screenshots and tests). The window is owned by the
  // caller through the returned pointer's widget.
  std::unique_ptr<QtWindow> build(const std::string& title, Presenter& presenter, bool dialog);

 private:
  friend class QtWindow;
  std::map<std::string, Layout> layouts_;
};

class QtWindow final : public View {
 public:
  QtWindow(QtApp& app, const std::string& title, Presenter& presenter, bool dialog);
  ~QtWindow() override;

  QWidget* widget() { return widget_; }
  QDialog* dialog() { return dialog_; }

  // Layout helpers: each creates a control named by its label and wires it to the presenter.
  QWidget* group(QBoxLayout* into, const std::string& title, bool horizontal);
  // A vertical group that setVisible(name) shows and hides.
  QWidget* namedGroup(QBoxLayout* into, const std::string& name, const std::string& title);
  QAbstractButton* button(QBoxLayout* into, const std::string& label);
  QAbstractButton* pictureButton(QBoxLayout* into, const std::string& name);
  QLineEdit* field(QBoxLayout* into, const std::string& name, bool readOnly);
  QListWidget* list(QBoxLayout* into, const std::string& name, bool sorted);
  QSlider* slider(QBoxLayout* into, const std::string& name, int minimum, int maximum);
  QProgressBar* meter(QBoxLayout* into, const std::string& name);
  QLabel* picture(QBoxLayout* into, const std::string& name);
  void menu(const std::string& title, const std::vector<std::string>& items);
  // A list of several columns (name, width in pixels), filled in the order the presenter
  // gives; a row's columns are separated by '\t'.
  QWidget* table(QBoxLayout* into, const std::string& name,
                 const std::vector<std::pair<std::string, int>>& columns);
  // A tab bar: choosing a tab is a click on its name; setChecked(name, true) chooses it.
  QWidget* tabs(QBoxLayout* into, const std::vector<std::string>& names);
  QAbstractButton* radio(QBoxLayout* into, const std::string& label);
  // A plain area shown or hidden as one control; returns its layout.
  QBoxLayout* page(QBoxLayout* into, const std::string& name);
  QBoxLayout* root() { return root_; }

  // Finding controls (tests).
  QWidget* control(const std::string& name) const;

  // View.
  void setText(std::string_view control, const std::string& text) override;
  void setEnabled(std::string_view control, bool enabled) override;
  void setChecked(std::string_view control, bool checked) override;
  void setValue(std::string_view control, int value) override;
  void setPicture(std::string_view control, std::string_view picture) override;
  void addItem(std::string_view list, const std::string& item) override;
  void removeItem(std::string_view list, const std::string& item) override;
  void insertItem(std::string_view list, int index, const std::string& item) override;
  void clearItems(std::string_view list) override;
  void messageBox(const std::string& title, const std::string& text, Icon icon) override;
  void post(std::function<void()> work) override;
  void runDialog(const std::string& title, Presenter& presenter) override;
  void close() override;
  void startTimer(int id, int periodMs) override;
  void stopTimer(int id) override;
  void openDisplay(int id, const std::string& title, int x, int y, bool sizable) override;
  void closeDisplay(int id) override;
  void paintDisplay(int id, std::span<const std::uint8_t> rgb, int width, int height) override;
  void setDisplayText(int id, const std::string& text) override;
  void removeItemAt(std::string_view list, int index) override;
  void selectItem(std::string_view list, int index) override;
  void setVisible(std::string_view control, bool visible) override;
  View* openWindow(const std::string& title, Presenter& presenter) override;
  void postCommand(std::uint32_t first, std::uintptr_t second) override;
  bool modalOpen() const override;
  // The picture window of an id, null when closed (tests and screenshots).
  QWidget* display(int id) const;

 private:
  QtApp& app_;
  Presenter& presenter_;
  QWidget* widget_ = nullptr;
  QDialog* dialog_ = nullptr;
  QMainWindow* main_ = nullptr;
  QBoxLayout* root_ = nullptr;
  std::map<std::string, QWidget*> controls_;
  std::map<int, QTimer*> timers_;     // children of the window's widget
  std::map<int, QWidget*> displays_;  // top-level picture windows, touched on the window thread
  std::vector<std::unique_ptr<QtWindow>> windows_;  // modeless windows beside this one
  bool modeless_ = false;                           // close() only hides it
};

// The pictures the suite draws for itself: "idle", "ringing", "product".
QPixmap drawPicture(std::string_view name);

}  // namespace zep::ui::qt
