#include "platform/devices.h"

namespace zep::devices {

DeviceChoice parseChoice(std::string_view choice) {
  DeviceChoice out;
  out.text = std::string(choice);
  auto colon = choice.find(':');
  out.name = std::string(choice.substr(0, colon));
  if (colon != std::string_view::npos) {
    out.hasArgument = true;
    out.argument = std::string(choice.substr(colon + 1));
  }
  return out;
}

std::string unknownBackendText(std::string_view kind, std::string_view choice,
                               const std::vector<std::string>& known) {
  std::string text = "unknown " + std::string(kind) + " '" + std::string(choice) + "' (known: ";
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (i) text += ", ";
    text += known[i];
  }
  return text + ")";
}

std::string argumentProblem(std::string_view kind, const DeviceChoice& choice, Argument argument,
                            std::string_view usage) {
  if (argument == Argument::kNone && choice.hasArgument)
    return std::string(kind) + " '" + choice.name + "' takes no argument: " + std::string(usage);
  if (argument == Argument::kRequired && !choice.hasArgument)
    return std::string(kind) + " '" + choice.name + "' needs an argument: " + std::string(usage);
  return {};
}

}  // namespace zep::devices
