#include "ui/qt/qt_view.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace zep::ui::qt {

namespace {

QString q(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}

// A main window that asks its presenter before closing.
class ClosingMainWindow final : public QMainWindow {
 public:
  explicit ClosingMainWindow(Presenter& p) : presenter_(p) {}
  bool closing = false;

 protected:
  void closeEvent(QCloseEvent* event) override {
    if (closing) return event->accept();
    event->ignore();
    presenter_.onClose();
  }

 private:
  Presenter& presenter_;
};

class ClosingDialog final : public QDialog {
 public:
  explicit ClosingDialog(Presenter& p) : presenter_(p) {}
  bool closing = false;

 protected:
  void reject() override {
    if (closing) return QDialog::reject();
    presenter_.onClose();
  }

 private:
  Presenter& presenter_;
};

}  // namespace

QPixmap drawPicture(std::string_view name) {
  if (name == "product") {
    QPixmap p(96, 64);
    p.fill(QColor(30, 60, 110));
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(240, 180, 40));
    g.drawEllipse(QPoint(26, 32), 16, 16);
    g.drawEllipse(QPoint(48, 24), 12, 12);
    g.drawEllipse(QPoint(68, 36), 14, 14);
    g.setPen(Qt::white);
    g.drawText(QRect(0, 46, 96, 18), Qt::AlignCenter, "Kestrel");
    return p;
  }
  QPixmap p(32, 32);
  p.fill(Qt::transparent);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  g.setPen(Qt::black);
  if (name == "microphone") {
    g.setBrush(QColor(60, 60, 60));
    g.drawRoundedRect(QRect(11, 3, 10, 17), 5, 5);
    g.setBrush(Qt::NoBrush);
    g.drawArc(QRect(7, 8, 18, 16), 180 * 16, 180 * 16);
    g.drawLine(16, 24, 16, 29);
    g.drawLine(11, 29, 21, 29);
    return p;
  }
  if (name == "loudspeaker") {
    g.setBrush(QColor(60, 60, 60));
    g.drawPolygon(QPolygon({QPoint(4, 12), QPoint(10, 12), QPoint(18, 5), QPoint(18, 27),
                            QPoint(10, 20), QPoint(4, 20)}));
    g.setBrush(Qt::NoBrush);
    g.drawArc(QRect(14, 9, 10, 14), -60 * 16, 120 * 16);
    g.drawArc(QRect(14, 5, 16, 22), -60 * 16, 120 * 16);
    return p;
  }
  if (name == "camera") {
    // A camera body, its lens and the viewfinder.
    g.setBrush(QColor(60, 60, 60));
    g.drawRoundedRect(QRect(3, 9, 26, 18), 3, 3);
    g.drawRect(QRect(9, 5, 8, 4));
    g.setBrush(QColor(120, 170, 220));
    g.drawEllipse(QPoint(16, 18), 6, 6);
    return p;
  }
  bool ringing = name == "ringing";
  g.setBrush(ringing ? QColor(220, 40, 40) : QColor(150, 150, 150));
  g.setPen(Qt::black);
  // A bell: dome, rim and clapper; waves beside it while ringing.
  g.drawChord(QRect(7, 4, 18, 30), 0, 180 * 16);
  g.drawRect(QRect(7, 19, 18, 4));
  g.drawEllipse(QPoint(16, 26), 3, 3);
  if (ringing) {
    g.setBrush(Qt::NoBrush);
    g.drawArc(QRect(1, 6, 6, 14), 90 * 16, 180 * 16);
    g.drawArc(QRect(25, 6, 6, 14), -90 * 16, 180 * 16);
  }
  return p;
}

QtWindow::QtWindow(QtApp& app, const std::string& title, Presenter& presenter, bool dialog)
    : app_(app), presenter_(presenter) {
  auto* body = new QWidget;
  root_ = new QVBoxLayout(body);
  if (dialog) {
    dialog_ = new ClosingDialog(presenter);
    dialog_->setLayout(new QVBoxLayout);
    dialog_->layout()->addWidget(body);
    widget_ = dialog_;
  } else {
    main_ = new ClosingMainWindow(presenter);
    main_->setCentralWidget(body);
    widget_ = main_;
  }
  widget_->setWindowTitle(q(title));
  if (auto it = app.layouts_.find(title); it != app.layouts_.end()) it->second(*this);
}

namespace {
// A picture stretched over the whole client area, whatever the window's size.
class PictureWindow final : public QWidget {
 public:
  QImage picture;
  QString text;  // a line along the bottom edge

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    if (picture.isNull())
      painter.fillRect(rect(), Qt::black);
    else
      painter.drawImage(rect(), picture);
    if (text.isEmpty()) return;
    QRect strip(0, height() - 18, width(), 18);
    painter.fillRect(strip, QColor(0, 0, 0, 150));
    painter.setPen(Qt::white);
    painter.drawText(strip, Qt::AlignCenter, text);
  }
};
}  // namespace

QtWindow::~QtWindow() {
  windows_.clear();
  if (modeless_) presenter_.onDestroyed();
  for (auto& [id, d] : displays_) delete d;
  delete widget_;
}

void QtWindow::openDisplay(int id, const std::string& title, int x, int y, bool sizable) {
  QWidget*& d = displays_[id];
  if (!d) d = new PictureWindow;
  d->setWindowTitle(q(title));
  if (sizable) {
    d->resize(176, 144);
    d->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  } else {
    d->setFixedSize(176, 144);
  }
  d->move(x, y);
  d->show();
}

void QtWindow::closeDisplay(int id) {
  auto it = displays_.find(id);
  if (it == displays_.end()) return;
  delete it->second;
  displays_.erase(it);
}

QWidget* QtWindow::display(int id) const {
  auto it = displays_.find(id);
  return it == displays_.end() ? nullptr : it->second;
}

void QtWindow::paintDisplay(int id, std::span<const std::uint8_t> rgb, int width, int height) {
  if (rgb.size() < static_cast<std::size_t>(width) * height * 3) return;
  // Copied here, shown on the window thread; rows arrive bottom to top.
  QImage picture =
      QImage(rgb.data(), width, height, width * 3, QImage::Format_BGR888).mirrored(false, true);
  QPointer<QWidget> alive(widget_);
  QMetaObject::invokeMethod(
      qApp,
      [this, alive, id, picture = std::move(picture)]() mutable {
        if (!alive) return;
        auto* d = static_cast<PictureWindow*>(display(id));
        if (!d) return;
        d->picture = std::move(picture);
        d->update();
      },
      Qt::QueuedConnection);
}

void QtWindow::setDisplayText(int id, const std::string& text) {
  QPointer<QWidget> alive(widget_);
  QMetaObject::invokeMethod(
      qApp,
      [this, alive, id, text = q(text)] {
        if (!alive) return;
        auto* d = static_cast<PictureWindow*>(display(id));
        if (!d) return;
        d->text = text;
        d->update();
      },
      Qt::QueuedConnection);
}

QWidget* QtWindow::group(QBoxLayout* into, const std::string& title, bool horizontal) {
  auto* box = new QGroupBox(q(title));
  if (horizontal)
    new QHBoxLayout(box);
  else
    new QVBoxLayout(box);
  into->addWidget(box);
  return box;
}

QWidget* QtWindow::namedGroup(QBoxLayout* into, const std::string& name, const std::string& title) {
  QWidget* box = group(into, title, false);
  controls_[name] = box;
  return box;
}

QAbstractButton* QtWindow::button(QBoxLayout* into, const std::string& label) {
  auto* b = new QPushButton(q(label));
  b->setObjectName(q(label));
  QObject::connect(b, &QPushButton::clicked, [this, label] { presenter_.onClick(label); });
  into->addWidget(b);
  controls_[label] = b;
  return b;
}

QAbstractButton* QtWindow::pictureButton(QBoxLayout* into, const std::string& name) {
  auto* b = new QPushButton;
  b->setObjectName(q(name));
  b->setCheckable(true);
  b->setIcon(drawPicture("idle"));
  b->setIconSize(QSize(32, 32));
  b->setToolTip(q(name));
  QObject::connect(b, &QAbstractButton::clicked, [this, name] { presenter_.onClick(name); });
  into->addWidget(b);
  controls_[name] = b;
  return b;
}

QLineEdit* QtWindow::field(QBoxLayout* into, const std::string& name, bool readOnly) {
  auto* e = new QLineEdit;
  e->setObjectName(q(name));
  e->setReadOnly(readOnly);
  if (!readOnly)
    QObject::connect(e, &QLineEdit::textChanged,
                     [this, name](const QString& t) { presenter_.onText(name, t.toStdString()); });
  into->addWidget(e);
  controls_[name] = e;
  return e;
}

QListWidget* QtWindow::list(QBoxLayout* into, const std::string& name, bool sorted) {
  auto* l = new QListWidget;
  l->setObjectName(q(name));
  l->setSortingEnabled(sorted);
  QObject::connect(l, &QListWidget::currentRowChanged, [this, name, l](int row) {
    auto* item = row >= 0 ? l->item(row) : nullptr;
    presenter_.onSelect(name, row, item ? item->text().toStdString() : "");
  });
  into->addWidget(l);
  controls_[name] = l;
  return l;
}

QSlider* QtWindow::slider(QBoxLayout* into, const std::string& name, int minimum, int maximum) {
  auto* s = new QSlider(Qt::Horizontal);
  s->setObjectName(q(name));
  s->setRange(minimum, maximum);
  QObject::connect(s, &QSlider::sliderMoved,
                   [this, name](int v) { presenter_.onValue(name, v, false); });
  QObject::connect(s, &QSlider::sliderReleased,
                   [this, name, s] { presenter_.onValue(name, s->value(), true); });
  into->addWidget(s);
  controls_[name] = s;
  return s;
}

QProgressBar* QtWindow::meter(QBoxLayout* into, const std::string& name) {
  auto* m = new QProgressBar;
  m->setObjectName(q(name));
  m->setRange(0, 100);
  m->setTextVisible(false);
  into->addWidget(m);
  controls_[name] = m;
  return m;
}

QLabel* QtWindow::picture(QBoxLayout* into, const std::string& name) {
  auto* l = new QLabel;
  l->setObjectName(q(name));
  l->setPixmap(drawPicture(name));
  into->addWidget(l);
  controls_[name] = l;
  return l;
}

void QtWindow::menu(const std::string& title, const std::vector<std::string>& items) {
  if (!main_) return;
  QMenu* m = main_->menuBar()->addMenu(q(title));
  for (const auto& item : items) {
    std::string path = title + "/" + item;
    QAction* a = m->addAction(q(item));
    a->setObjectName(q(path));
    QObject::connect(a, &QAction::triggered, [this, path] { presenter_.onClick(path); });
  }
}

QWidget* QtWindow::table(QBoxLayout* into, const std::string& name,
                         const std::vector<std::pair<std::string, int>>& columns) {
  auto* t = new QTreeWidget;
  t->setObjectName(q(name));
  t->setRootIsDecorated(false);
  t->setUniformRowHeights(true);
  t->setSortingEnabled(false);  // the presenter keeps the order
  t->setColumnCount(static_cast<int>(columns.size()));
  QStringList labels;
  for (const auto& c : columns) labels << q(c.first);
  t->setHeaderLabels(labels);
  for (std::size_t i = 0; i < columns.size(); ++i)
    t->setColumnWidth(static_cast<int>(i), columns[i].second);
  QObject::connect(t, &QTreeWidget::currentItemChanged, [this, name, t](QTreeWidgetItem* item) {
    int row = item ? t->indexOfTopLevelItem(item) : -1;
    presenter_.onSelect(name, row, item ? item->text(0).toStdString() : "");
  });
  into->addWidget(t);
  controls_[name] = t;
  return t;
}

QWidget* QtWindow::tabs(QBoxLayout* into, const std::vector<std::string>& names) {
  auto* bar = new QTabBar;
  for (const auto& n : names) {
    bar->addTab(q(n));
    controls_[n] = bar;
  }
  QObject::connect(bar, &QTabBar::currentChanged, [this, bar](int index) {
    if (index >= 0) presenter_.onClick(bar->tabText(index).toStdString());
  });
  into->addWidget(bar);
  return bar;
}

QAbstractButton* QtWindow::radio(QBoxLayout* into, const std::string& label) {
  auto* b = new QRadioButton(q(label));
  b->setObjectName(q(label));
  QObject::connect(b, &QRadioButton::clicked, [this, label] { presenter_.onClick(label); });
  into->addWidget(b);
  controls_[label] = b;
  return b;
}

QBoxLayout* QtWindow::page(QBoxLayout* into, const std::string& name) {
  auto* w = new QWidget;
  w->setObjectName(q(name));
  auto* layout = new QVBoxLayout(w);
  layout->setContentsMargins(0, 0, 0, 0);
  into->addWidget(w);
  controls_[name] = w;
  return layout;
}

namespace {
QTreeWidgetItem* rowItem(const std::string& row) {
  auto* item = new QTreeWidgetItem;
  int column = 0;
  std::size_t start = 0;
  for (;;) {
    auto tab = row.find('\t', start);
    item->setText(column++, q(std::string_view(row).substr(start, tab - start)));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return item;
}
}  // namespace

void QtWindow::removeItemAt(std::string_view name, int index) {
  QWidget* w = control(std::string(name));
  const QSignalBlocker quiet(w);
  if (auto* t = qobject_cast<QTreeWidget*>(w)) {
    bool current = t->currentItem() && t->indexOfTopLevelItem(t->currentItem()) == index;
    delete t->takeTopLevelItem(index);
    if (current) {  // nothing is selected once the selected row is gone
      t->setCurrentItem(nullptr);
      t->clearSelection();
    }
  } else if (auto* l = qobject_cast<QListWidget*>(w)) {
    delete l->takeItem(index);
  }
}

void QtWindow::selectItem(std::string_view name, int index) {
  QWidget* w = control(std::string(name));
  const QSignalBlocker quiet(w);
  if (auto* t = qobject_cast<QTreeWidget*>(w)) {
    QTreeWidgetItem* item = index >= 0 ? t->topLevelItem(index) : nullptr;
    t->setCurrentItem(item);
    if (!item) t->clearSelection();
  } else if (auto* l = qobject_cast<QListWidget*>(w)) {
    l->setCurrentRow(index);
  }
}

void QtWindow::setVisible(std::string_view name, bool visible) {
  if (name.empty()) {
    widget_->setVisible(visible);
    if (visible) {
      widget_->raise();
      widget_->activateWindow();
    }
    return;
  }
  if (QWidget* w = control(std::string(name))) w->setVisible(visible);
}

View* QtWindow::openWindow(const std::string& title, Presenter& presenter) {
  windows_.push_back(std::make_unique<QtWindow>(app_, title, presenter, true));
  QtWindow& w = *windows_.back();
  w.dialog()->setModal(false);
  w.modeless_ = true;
  presenter.attach(w);
  return &w;
}

void QtWindow::postCommand(std::uint32_t first, std::uintptr_t second) {
  QPointer<QWidget> alive(widget_);
  QMetaObject::invokeMethod(
      qApp,
      [this, alive, first, second] {
        if (alive) presenter_.onCommand(first, second);
      },
      Qt::QueuedConnection);
}

bool QtWindow::modalOpen() const {
  return QApplication::activeModalWidget() != nullptr;
}

QWidget* QtWindow::control(const std::string& name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

void QtWindow::setText(std::string_view name, const std::string& text) {
  QWidget* w = control(std::string(name));
  if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(q(text));
  if (auto* l = qobject_cast<QLabel*>(w)) l->setText(q(text));
}

void QtWindow::setEnabled(std::string_view name, bool enabled) {
  if (QWidget* w = control(std::string(name))) w->setEnabled(enabled);
}

void QtWindow::setChecked(std::string_view name, bool checked) {
  QWidget* w = control(std::string(name));
  if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setChecked(checked);
  if (auto* bar = qobject_cast<QTabBar*>(w); bar && checked) {
    const QSignalBlocker quiet(bar);
    for (int i = 0; i < bar->count(); ++i)
      if (bar->tabText(i) == q(name)) bar->setCurrentIndex(i);
  }
}

void QtWindow::setValue(std::string_view name, int value) {
  QWidget* w = control(std::string(name));
  if (auto* m = qobject_cast<QProgressBar*>(w)) m->setValue(value);
  if (auto* s = qobject_cast<QSlider*>(w)) s->setValue(value);
}

void QtWindow::setPicture(std::string_view name, std::string_view picture) {
  QWidget* w = control(std::string(name));
  if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setIcon(drawPicture(picture));
  if (auto* l = qobject_cast<QLabel*>(w)) l->setPixmap(drawPicture(picture));
}

void QtWindow::addItem(std::string_view name, const std::string& item) {
  QWidget* w = control(std::string(name));
  if (auto* l = qobject_cast<QListWidget*>(w)) l->addItem(q(item));
  if (auto* t = qobject_cast<QTreeWidget*>(w)) t->addTopLevelItem(rowItem(item));
}

void QtWindow::removeItem(std::string_view name, const std::string& item) {
  auto* l = qobject_cast<QListWidget*>(control(std::string(name)));
  if (!l) return;
  auto found = l->findItems(q(item), Qt::MatchExactly);
  if (!found.isEmpty()) delete l->takeItem(l->row(found.first()));
}

void QtWindow::insertItem(std::string_view name, int index, const std::string& item) {
  QWidget* w = control(std::string(name));
  // A sorted list places the item by itself.
  if (auto* l = qobject_cast<QListWidget*>(w)) l->insertItem(index, q(item));
  if (auto* t = qobject_cast<QTreeWidget*>(w)) {
    const QSignalBlocker quiet(t);
    t->insertTopLevelItem(std::clamp(index, 0, t->topLevelItemCount()), rowItem(item));
  }
}

void QtWindow::startTimer(int id, int periodMs) {
  QTimer*& t = timers_[id];
  if (!t) {
    t = new QTimer(widget_);
    QObject::connect(t, &QTimer::timeout, [this, id] { presenter_.onTimer(id); });
  }
  t->start(periodMs);
}

void QtWindow::stopTimer(int id) {
  if (auto it = timers_.find(id); it != timers_.end()) it->second->stop();
}

void QtWindow::clearItems(std::string_view name) {
  QWidget* w = control(std::string(name));
  if (auto* l = qobject_cast<QListWidget*>(w)) l->clear();
  if (auto* t = qobject_cast<QTreeWidget*>(w)) {
    const QSignalBlocker quiet(t);
    t->clear();
  }
}

void QtWindow::messageBox(const std::string& title, const std::string& text, Icon icon) {
  QMessageBox::Icon i = QMessageBox::NoIcon;
  if (icon == Icon::kInformation) i = QMessageBox::Information;
  if (icon == Icon::kWarning) i = QMessageBox::Warning;
  if (icon == Icon::kError) i = QMessageBox::Critical;
  QMessageBox box(i, q(title), q(text), QMessageBox::Ok, widget_);
  box.exec();
}

void QtWindow::post(std::function<void()> work) {
  QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
}

void QtWindow::runDialog(const std::string& title, Presenter& presenter) {
  QtWindow child(app_, title, presenter, true);
  presenter.attach(child);
  child.dialog()->exec();
}

void QtWindow::close() {
  if (modeless_) {
    widget_->hide();
    return;
  }
  for (auto& [id, t] : timers_) t->stop();
  if (dialog_) {
    static_cast<ClosingDialog*>(dialog_)->closing = true;
    dialog_->done(0);
  } else if (main_) {
    static_cast<ClosingMainWindow*>(main_)->closing = true;
    main_->close();
  }
}

std::unique_ptr<QtWindow> QtApp::build(const std::string& title, Presenter& presenter,
                                       bool dialog) {
  return std::make_unique<QtWindow>(*this, title, presenter, dialog);
}

int QtApp::run(const std::string& title, Presenter& presenter) {
  QtWindow window(*this, title, presenter, false);
  window.widget()->show();
  // Start-up runs once the window exists, as a dialog's initialisation would.
  QTimer::singleShot(0, [&] { presenter.attach(window); });
  return QApplication::exec();
}

}  // namespace zep::ui::qt
