#include "platform/options.h"

#include <cstdlib>

namespace zep::options {

namespace {

constexpr Option kHelp{"--help", "", "show this help and exit (-h does too)"};
constexpr Option kVersion{"--version", "", "show the version and exit"};

std::vector<Option> withStandard(const Program& program) {
  std::vector<Option> all = program.options;
  all.push_back(kHelp);
  all.push_back(kVersion);
  return all;
}

std::string optionLabel(const Option& o) {
  std::string label(o.name);
  if (!o.argument.empty()) label += " " + std::string(o.argument);
  return label;
}

// "  LABEL   help", the help starting in one column, or on the next line when the label is long.
void addRow(std::string& out, std::string_view label, std::string_view help) {
  constexpr std::size_t kColumn = 24;
  out += "  ";
  out += label;
  if (label.size() + 2 >= kColumn) {
    out += "\n" + std::string(kColumn, ' ');
  } else {
    out += std::string(kColumn - 2 - label.size(), ' ');
  }
  out += help;
  out += "\n";
}

}  // namespace

std::string_view version() {
  return ZEP_VERSION;
}

bool Parsed::has(std::string_view option) const {
  for (const auto& [name, value] : given)
    if (name == option) return true;
  return false;
}

std::string Parsed::value(std::string_view option, std::string fallback) const {
  for (auto it = given.rbegin(); it != given.rend(); ++it)
    if (it->first == option) return it->second;
  return fallback;
}

std::string usageLine(const Program& program) {
  std::string line = "usage: " + std::string(program.name);
  for (const Option& o : withStandard(program)) line += " [" + optionLabel(o) + "]";
  if (!program.operands.empty()) line += " " + std::string(program.operands);
  return line + "\n";
}

std::string helpText(const Program& program) {
  std::string out = std::string(program.name) + " " + std::string(version()) + " -- " +
                    std::string(program.summary) + "\n\n" + usageLine(program);
  if (!program.details.empty()) out += "\n" + std::string(program.details) + "\n";
  out += "\nOptions:\n";
  for (const Option& o : withStandard(program)) addRow(out, optionLabel(o), o.help);
  out += "\nEnvironment:\n";
  if (program.environment.empty()) out += "  (none)\n";
  for (const Variable& v : program.environment) addRow(out, v.name, v.help);
  return out;
}

Parsed parse(const Program& program, int argc, char** argv, std::FILE* out, std::FILE* err) {
  Parsed parsed;
  const std::vector<Option> known = withStandard(program);
  auto usageError = [&](const std::string& why) {
    std::fprintf(err, "%.*s: %s\n%s", static_cast<int>(program.name.size()), program.name.data(),
                 why.c_str(), usageLine(program).c_str());
    parsed.outcome = Parsed::Outcome::kUsageError;
    return parsed;
  };
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (!optionsEnded && a == "-h") a = "--help";  // what people type first
    if (!optionsEnded && a == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      if (program.ignoreOperands) continue;
      if (program.operands.empty())
        return usageError("unexpected argument '" + std::string(a) + "'");
      parsed.operands.emplace_back(a);
      continue;
    }
    // --name=value is accepted as well as --name value.
    std::string_view name = a;
    std::string inlineValue;
    bool hasInline = false;
    if (auto eq = a.find('='); eq != std::string_view::npos && a.starts_with("--")) {
      name = a.substr(0, eq);
      inlineValue = std::string(a.substr(eq + 1));
      hasInline = true;
    }
    const Option* option = nullptr;
    for (const Option& o : known)
      if (o.name == name) option = &o;
    if (!option) return usageError("unknown option '" + std::string(name) + "'");
    if (option->argument.empty()) {
      if (hasInline) return usageError("option '" + std::string(name) + "' takes no argument");
      parsed.given.emplace_back(name, "");
    } else if (hasInline) {
      parsed.given.emplace_back(name, inlineValue);
    } else if (i + 1 < argc) {
      parsed.given.emplace_back(name, argv[++i]);
    } else {
      return usageError("option '" + std::string(name) + "' needs an argument " +
                        std::string(option->argument));
    }
  }
  // --help wins over --version wherever they stand.
  if (parsed.has("--help")) {
    std::fputs(helpText(program).c_str(), out);
    parsed.outcome = Parsed::Outcome::kExitOk;
  } else if (parsed.has("--version")) {
    std::fprintf(out, "%.*s (zep) %.*s\n", static_cast<int>(program.name.size()),
                 program.name.data(), static_cast<int>(version().size()), version().data());
    parsed.outcome = Parsed::Outcome::kExitOk;
  }
  return parsed;
}

Parsed parseOrExit(const Program& program, int argc, char** argv) {
  Parsed parsed = parse(program, argc, argv, stdout, stderr);
  if (parsed.outcome == Parsed::Outcome::kExitOk) {
    std::fflush(stdout);
    std::exit(0);
  }
  if (parsed.outcome == Parsed::Outcome::kUsageError) std::exit(2);
  return parsed;
}

}  // namespace zep::options
