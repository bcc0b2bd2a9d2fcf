// Device backends by name: every backend of a device kind (sound input, sound output, camera)
// registers a name and a factory, and a choice `name[:argument]` picks one. Unknown names and
// misused arguments fail loudly, naming the backends known; nothing falls back to a dummy.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zep::devices {

// A choice split once at its first ':': "file:/tmp/a.wav" is file with "/tmp/a.wav".
struct DeviceChoice {
  std::string text;  // the whole choice, as given
  std::string name;
  std::string argument;
  bool hasArgument = false;
};

DeviceChoice parseChoice(std::string_view choice);

enum class Argument {
  kNone,      // `name` only
  kOptional,  // `name` or `name:argument`
  kRequired,  // `name:argument`
};

// "unknown camera 'x' (known: file, none, pattern, v4l2)"
std::string unknownBackendText(std::string_view kind, std::string_view choice,
                               const std::vector<std::string>& known);
// Empty when the choice's argument suits the backend, else why not.
std::string argumentProblem(std::string_view kind, const DeviceChoice& choice, Argument argument,
                            std::string_view usage);

// The backends of one device kind. Backend is whatever the kind needs (its factory, a device
// lister, ...); it must be copyable. Safe to use from several threads.
template <typename Backend>
class Registry {
 public:
  explicit Registry(std::string kind) : kind_(std::move(kind)) {}

  // `usage` shows how the choice is written, e.g. "file:PATH". A name added again replaces the
  // backend it had.
  void add(std::string name, Argument argument, std::string usage, Backend backend) {
    std::lock_guard lock(mutex_);
    entries_.insert_or_assign(std::move(name),
                              Entry{argument, std::move(usage), std::move(backend)});
  }

  // The backend the choice names, or nullopt with *error naming the known backends or saying
  // what is wrong with the argument.
  std::optional<Backend> find(const DeviceChoice& choice, std::string* error) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(choice.name);
    if (it == entries_.end()) {
      *error = unknownBackendText(kind_, choice.text, namesLocked());
      return std::nullopt;
    }
    if (auto problem = argumentProblem(kind_, choice, it->second.argument, it->second.usage);
        !problem.empty()) {
      *error = problem;
      return std::nullopt;
    }
    return it->second.backend;
  }

  // Every backend, in name order.
  std::vector<std::pair<std::string, Backend>> all() const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, Backend>> out;
    for (const auto& [name, entry] : entries_) out.emplace_back(name, entry.backend);
    return out;
  }

  std::vector<std::string> names() const {
    std::lock_guard lock(mutex_);
    return namesLocked();
  }
  const std::string& kind() const { return kind_; }

 private:
  struct Entry {
    Argument argument;
    std::string usage;
    Backend backend;
  };
  std::vector<std::string> namesLocked() const {
    std::vector<std::string> out;
    for (const auto& entry : entries_) out.push_back(entry.first);
    return out;
  }

  std::string kind_;
  mutable std::mutex mutex_;
  std::map<std::string, Entry, std::less<>> entries_;
};

}  // namespace zep::devices
