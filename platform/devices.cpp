#include "platform/devices.h"

namespace zep::devices {

DeviceSpec parseSpec(std::string_view spec) {
  DeviceSpec out;
  out.text = std::string(spec);
  auto colon = spec.find(':');
  out.name = std::string(spec.substr(0, colon));
  if (colon != std::string_view::npos) {
    out.hasArgument = true;
    out.argument = std::string(spec.substr(colon + 1));
  }
  return out;
}

std::string unknownBackendText(std::string_view kind, std::string_view spec,
                               const std::vector<std::string>& known) {
  std::string text = "unknown " + std::string(kind) + " '" + std::string(spec) + "' (known: ";
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (i) text += ", ";
    text += known[i];
  }
  return text + ")";
}

std::string argumentProblem(std::string_view kind, const DeviceSpec& spec, Argument argument,
                            std::string_view usage) {
  if (argument == Argument::kNone && spec.hasArgument)
    return std::string(kind) + " '" + spec.name + "' takes no argument: " + std::string(usage);
  if (argument == Argument::kRequired && !spec.hasArgument)
    return std::string(kind) + " '" + spec.name + "' needs an argument: " + std::string(usage);
  return {};
}

}  // namespace zep::devices
