// The rows of a list kept in ascending order of their first column, with a key per row. A new
// row finds its place by binary search and is inserted there once: filling a list of n rows
// costs n searches and n shifts of a pointer array, never a re-sort. Rows of equal first
// columns keep their arrival order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zep::directory {

class SortedRows {
 public:
  struct Row {
    std::string first, second;
    std::uint32_t key = 0;
    std::uint64_t serial = 0;  // arrival order; names the row while it lives
  };

  // Inserts a row and returns its index.
  int insert(std::string first, std::string second, std::uint32_t key) {
    auto row = std::make_unique<Row>(Row{std::move(first), std::move(second), key, ++serial_});
    auto at = std::upper_bound(
        rows_.begin(), rows_.end(), row,
        [](const std::unique_ptr<Row>& a, const std::unique_ptr<Row>& b) { return less(*a, *b); });
    bySerial_[row->serial] = row.get();
    byKey_.emplace(key, row->serial);
    int index = static_cast<int>(at - rows_.begin());
    rows_.insert(at, std::move(row));
    return index;
  }
  // The first row in list order whose key is key; -1 when none.
  int find(std::uint32_t key) const {
    int best = -1;
    auto [from, to] = byKey_.equal_range(key);
    for (auto it = from; it != to; ++it) {
      int index = indexOfSerial(it->second);
      if (index >= 0 && (best < 0 || index < best)) best = index;
    }
    return best;
  }
  int indexOfSerial(std::uint64_t serial) const {
    auto it = bySerial_.find(serial);
    if (it == bySerial_.end()) return -1;
    auto at = std::lower_bound(
        rows_.begin(), rows_.end(), it->second,
        [](const std::unique_ptr<Row>& r, const Row* probe) { return less(*r, *probe); });
    return at != rows_.end() && (*at)->serial == serial ? static_cast<int>(at - rows_.begin()) : -1;
  }
  void removeAt(int index) {
    if (index < 0 || index >= size()) return;
    auto& row = rows_[static_cast<std::size_t>(index)];
    auto [from, to] = byKey_.equal_range(row->key);
    for (auto it = from; it != to; ++it)
      if (it->second == row->serial) {
        byKey_.erase(it);
        break;
      }
    bySerial_.erase(row->serial);
    rows_.erase(rows_.begin() + index);
  }
  void clear() {
    rows_.clear();
    bySerial_.clear();
    byKey_.clear();
  }
  const Row& at(int index) const { return *rows_[static_cast<std::size_t>(index)]; }
  int size() const { return static_cast<int>(rows_.size()); }

 private:
  static bool less(const Row& a, const Row& b) {
    int c = a.first.compare(b.first);
    return c < 0 || (c == 0 && a.serial < b.serial);
  }

  std::vector<std::unique_ptr<Row>> rows_;
  std::unordered_map<std::uint64_t, const Row*> bySerial_;
  std::unordered_multimap<std::uint32_t, std::uint64_t> byKey_;
  std::uint64_t serial_ = 0;
};

}  // namespace zep::directory
