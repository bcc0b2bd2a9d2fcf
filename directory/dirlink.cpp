// libdirlink: the four exports, by their plain names.
#include "directory/dirlink.h"

#include "directory/client.h"

namespace {
zep::directory::DirectoryClient& client() {
  static zep::directory::DirectoryClient instance;
  return instance;
}
}  // namespace

#define ZEP_EXPORT extern "C" __attribute__((visibility("default")))

ZEP_EXPORT int DSInitialize(void* window) {
  return client().initialize(static_cast<zep::ui::View*>(window));
}

ZEP_EXPORT int DSConnect(const void* settings) {
  if (!settings) return -1;
  return client().connect(
      {static_cast<const std::uint8_t*>(settings), zep::directory::kSettingsSize});
}

ZEP_EXPORT int DSActiveUsers(void) {
  return client().show(0);
}
ZEP_EXPORT int DSConferences(void) {
  return client().show(1);
}
