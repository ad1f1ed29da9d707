#pragma once
// The last few ids a table lookup returned, tried before anything is hashed:
// the nodes and records a table meets mostly repeat an entry met a moment ago.
#include <algorithm>
#include <cstddef>
#include <optional>

namespace trellan {

template <class Id, size_t N>
class RecentIds {
 public:
  // The first remembered id that `same` accepts.
  template <class Same>
  std::optional<Id> find(Same&& same) const {
    for (size_t r = 0; r < std::min(N, count_); ++r) {
      if (same(ids_[r])) return ids_[r];
    }
    return std::nullopt;
  }
  void remember(Id id) { ids_[count_++ % N] = id; }

 private:
  Id ids_[N] = {};
  size_t count_ = 0;
};

}  // namespace trellan
