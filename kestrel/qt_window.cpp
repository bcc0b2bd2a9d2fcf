#include "kestrel/qt_window.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QLabel>

#include "kestrel/chat.h"
#include "kestrel/statistics_window.h"
#include "kestrel/window.h"

namespace zep::kestrel {

namespace {

QBoxLayout* layoutOf(QWidget* group) {
  return static_cast<QBoxLayout*>(group->layout());
}

void mainWindow(ui::qt::QtWindow& w) {
  w.menu("File", {"Reset session", "Exit"});
  w.menu("Edit", {"Options"});
  w.menu("View", {"Audio panel", "Statistics"});
  w.menu("Tools", {"Text Chat"});
  w.menu("Directory", {"Active Users...", "Conferences..."});
  auto* calls = layoutOf(w.group(w.root(), "", true));
  for (const char* b : {"Call", "Accept", "Reject"}) w.button(calls, b);
  w.list(w.root(), "Participants", true);
  auto* speaker = layoutOf(w.group(w.root(), "Speaker", false));
  w.meter(speaker, "Speaker");
  w.slider(speaker, "Speaker threshold", 0, 100);
  auto* microphone = layoutOf(w.group(w.root(), "Microphone", false));
  w.meter(microphone, "Microphone");
  w.slider(microphone, "Microphone threshold", 0, 100);
  auto* talk = layoutOf(w.group(w.root(), "Talk", true));
  w.button(talk, "Auto switch")->setCheckable(true);
  w.button(talk, "Manual switch")->setCheckable(true);
  w.pictureButton(talk, "Talk")->setCheckable(true);
  w.pictureButton(talk, "Video")->setCheckable(true);  // sending of the local pictures
  w.field(w.root(), "Status", true);
}

void callUser(ui::qt::QtWindow& w) {
  auto* user = layoutOf(w.group(w.root(), "User:", true));
  w.field(user, "User", false);
  auto* buttons = layoutOf(w.group(w.root(), "", true));
  w.button(buttons, "Call");
  w.button(buttons, "Close");
}

void textChat(ui::qt::QtWindow& w) {
  w.list(w.root(), "Transcript", false);
  auto* line = layoutOf(w.group(w.root(), "", true));
  w.field(line, "Message", false);
  w.button(line, "Send");
  w.button(line, "Close");
}

void statistics(ui::qt::QtWindow& w) {
  w.list(w.root(), "Participants", false);
  auto* audio = layoutOf(w.group(w.root(), "Audio", false));
  for (const char* f : {"Received:", "Lost:", "Late:", "Total:", "Bandwidth:", "Latency:"})
    w.field(audio, std::string("Audio ") + f, true);
  auto* video = layoutOf(w.group(w.root(), "Video", false));
  for (const char* f : {"Received:", "Lost:", "Frames/sec:", "Bandwidth:"})
    w.field(video, std::string("Video ") + f, true);
  w.button(w.root(), "Close");
}

void personalInformation(ui::qt::QtWindow& w) {
  w.root()->addWidget(
      new QLabel("Please, fill this form for proper Directory Service registration"));
  for (const char* f : {"Your name:", "Email address:"}) {
    auto* row = layoutOf(w.group(w.root(), f, true));
    w.field(row, f, false);
  }
  w.button(w.root(), "OK");
}

// The three pages, one shown at a time by the buttons above them.
void options(ui::qt::QtWindow& w) {
  auto* tabs = layoutOf(w.group(w.root(), "", true));
  for (const char* page : {"General", "Audio", "Video"}) w.button(tabs, page);
  auto* general = layoutOf(w.namedGroup(w.root(), "General page", "General"));
  w.list(general, "Connection", false);
  w.button(general, "Auto accept")->setCheckable(true);
  for (const char* f : {"Directory Server:", "Your name:", "E-mail address:"})
    w.field(general, f, false);
  auto* audio = layoutOf(w.namedGroup(w.root(), "Audio page", "Audio"));
  w.field(audio, "Mode:", true);
  w.list(audio, "Audio Compression:", false);
  w.slider(audio, "Volume", 0, 100);
  w.slider(audio, "Mic gain", 0, 100);
  w.button(audio, "Mute")->setCheckable(true);
  w.button(audio, "Mic off")->setCheckable(true);
  auto* video = layoutOf(w.namedGroup(w.root(), "Video page", "Video"));
  w.list(video, "Video Capture Device:", false);
  w.button(video, "Video Format");
  w.button(video, "Video Source");
  w.slider(video, "Frame rate", 0, 10);
  w.button(video, "Default");
  w.list(video, "Video Compression:", false);
  w.button(video, "Receive Off")->setCheckable(true);
  auto* buttons = layoutOf(w.group(w.root(), "", true));
  for (const char* b : {"OK", "Cancel", "Apply"}) w.button(buttons, b);
}

}  // namespace

void addQtWindows(ui::qt::QtApp& app) {
  app.addWindow(kKestrelTitle, mainWindow);
  app.addWindow("Call User", callUser);
  app.addWindow(kChatTitle, textChat);
  app.addWindow(kStatisticsTitle, statistics);
  app.addWindow(kPersonalInfoTitle, personalInformation);
  app.addWindow(kOptionsTitle, options);
}

}  // namespace zep::kestrel
