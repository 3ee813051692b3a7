#pragma once

// JSONMembers is the member table of a JSON object: a vector of (key, value) pairs
// kept sorted by the keys' bytes (unsigned, a proper prefix first) with each key once.
// It offers the std::map operations the code base uses, but holds all members in one
// allocation, which makes building, reading and freeing large trees much cheaper than
// a node-based map. Insertion in the middle is linear; bulk building goes through
// fromUnordered. Iterators are invalidated by any insertion or erasure.

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace vela {

template <typename Value>
class JSONMembers {
 public:
  using key_type = std::string;
  using mapped_type = Value;
  using value_type = std::pair<std::string, Value>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  JSONMembers() = default;
  // A later duplicate key replaces the earlier one.
  JSONMembers(std::initializer_list<value_type> members) {
    for (const value_type& member : members) insert_or_assign(member.first, member.second);
  }

  // Adopts members in any order; of equal keys the last one wins.
  static JSONMembers fromUnordered(std::vector<value_type>&& members) {
    JSONMembers table;
    table.members_ = std::move(members);
    auto byKey = [](const value_type& a, const value_type& b) { return a.first < b.first; };
    auto& m = table.members_;
    if (!std::is_sorted(m.begin(), m.end(), byKey)) std::stable_sort(m.begin(), m.end(), byKey);
    auto sameKey = [](const value_type& a, const value_type& b) { return a.first == b.first; };
    if (std::adjacent_find(m.begin(), m.end(), sameKey) != m.end()) {
      // Keep the last of each run of equal keys.
      std::reverse(m.begin(), m.end());
      m.erase(std::unique(m.begin(), m.end(), sameKey), m.end());
      std::reverse(m.begin(), m.end());
    }
    return table;
  }

  iterator begin() { return members_.begin(); }
  iterator end() { return members_.end(); }
  const_iterator begin() const { return members_.begin(); }
  const_iterator end() const { return members_.end(); }
  const_iterator cbegin() const { return members_.cbegin(); }
  const_iterator cend() const { return members_.cend(); }
  std::size_t size() const { return members_.size(); }
  bool empty() const { return members_.empty(); }
  void clear() { members_.clear(); }
  void reserve(std::size_t n) { members_.reserve(n); }

  iterator find(std::string_view key) {
    auto it = lowerBound(key);
    return it != members_.end() && it->first == key ? it : members_.end();
  }
  const_iterator find(std::string_view key) const {
    return const_cast<JSONMembers*>(this)->find(key);
  }
  bool contains(std::string_view key) const { return find(key) != end(); }
  std::size_t count(std::string_view key) const { return contains(key) ? 1 : 0; }

  // Inserts a null member when the key is missing.
  Value& operator[](std::string_view key) { return try_emplace(std::string(key)).first->second; }

  template <typename... Args>
  std::pair<iterator, bool> try_emplace(std::string key, Args&&... args) {
    auto it = lowerBound(key);
    if (it != members_.end() && it->first == key) return {it, false};
    it = members_.emplace(it, std::piecewise_construct, std::forward_as_tuple(std::move(key)),
                          std::forward_as_tuple(std::forward<Args>(args)...));
    return {it, true};
  }
  template <typename V>
  std::pair<iterator, bool> emplace(std::string key, V&& value) {
    return try_emplace(std::move(key), std::forward<V>(value));
  }
  std::pair<iterator, bool> insert(value_type member) {
    return try_emplace(std::move(member.first), std::move(member.second));
  }
  template <typename V>
  std::pair<iterator, bool> insert_or_assign(std::string key, V&& value) {
    auto [it, inserted] = try_emplace(std::move(key));
    it->second = std::forward<V>(value);
    return {it, inserted};
  }

  std::size_t erase(std::string_view key) {
    auto it = find(key);
    if (it == members_.end()) return 0;
    members_.erase(it);
    return 1;
  }
  iterator erase(const_iterator position) { return members_.erase(position); }

  // Both sides are sorted with unique keys, so element-wise equality is set equality.
  bool operator==(const JSONMembers& other) const { return members_ == other.members_; }

 private:
  iterator lowerBound(std::string_view key) {
    return std::lower_bound(members_.begin(), members_.end(), key,
                            [](const value_type& member, std::string_view k) {
                              return std::string_view(member.first) < k;
                            });
  }

  std::vector<value_type> members_;
};

}  // namespace vela
