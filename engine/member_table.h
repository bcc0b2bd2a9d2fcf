// The members of a session by number, as every program that follows a session keeps them:
// the engine, the application link, the manager's link and the integrated client.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "engine/messages.h"

namespace zep::engine {

class MemberTable {
 public:
  static bool validNumber(int n) { return n >= 0 && n < kMaxMembers; }
  bool present(int n) const { return validNumber(n) && present_[static_cast<std::size_t>(n)]; }
  // The record of member n. A removed member's record stays readable (who just left) until
  // another is put under its number.
  const MemberRecord& operator[](int n) const { return records_[static_cast<std::size_t>(n)]; }
  std::optional<MemberRecord> find(int n) const {
    if (!present(n)) return std::nullopt;
    return (*this)[n];
  }
  int count() const { return count_; }

  // Puts the record under its number (replacing one there); false for a number outside 0..19.
  bool put(const MemberRecord& record) {
    if (!validNumber(record.number)) return false;
    auto n = static_cast<std::size_t>(record.number);
    if (!present_[n]) count_++;
    present_[n] = true;
    records_[n] = record;
    return true;
  }
  // False when member n was not present.
  bool remove(int n) {
    if (!present(n)) return false;
    present_[static_cast<std::size_t>(n)] = false;
    count_--;
    return true;
  }
  void clear() {
    present_.fill(false);
    count_ = 0;
  }
  // Whether the same user of the same host is present under any number.
  bool holds(const MemberRecord& record) const {
    for (int n = 0; n < kMaxMembers; ++n)
      if (present(n) && (*this)[n].sameMember(record)) return true;
    return false;
  }
  // Where a media datagram goes, as every media program addresses it: destination < 0 every
  // other present member in ascending number; d > 0 that member; 0 member 0, or, when member 0
  // is gone, the lowest other member. The sender itself is never among them.
  std::vector<MemberRecord> mediaTargets(int destination, int localMember) const {
    std::vector<MemberRecord> v;
    auto other = [&](int n) { return present(n) && n != localMember; };
    if (destination < 0) {
      for (int n = 0; n < kMaxMembers; ++n)
        if (other(n)) v.push_back((*this)[n]);
    } else if (destination < kMaxMembers && other(destination)) {
      v.push_back((*this)[destination]);
    } else if (destination == 0 && !present(0)) {
      for (int n = 1; n < kMaxMembers; ++n)
        if (other(n)) {
          v.push_back((*this)[n]);
          break;
        }
    }
    return v;
  }
  // The present records in ascending number.
  std::vector<MemberRecord> records() const {
    std::vector<MemberRecord> v;
    for (int n = 0; n < kMaxMembers; ++n)
      if (present(n)) v.push_back((*this)[n]);
    return v;
  }

 private:
  std::array<bool, kMaxMembers> present_{};
  std::array<MemberRecord, kMaxMembers> records_{};
  int count_ = 0;
};

}  // namespace zep::engine
