#include "param/param_pool.hpp"

#include <algorithm>

namespace trellan {

const ParamMap& ParamPool::share(const ParamMap& m) {
  if (m.empty()) return m;
  if (auto r = recent_.find([&](size_t id) { return maps_[id].same_block(m); })) return maps_[*r];
  // Identical maps are equal maps, whose digests agree.
  const uint64_t hash = m.digest();
  index_.reserve_one();
  const auto probe = index_.find(hash, [&](uint64_t id) { return maps_[id].identical(m); });
  size_t id = probe.id;
  if (!probe.found) {
    // Room in the arena first, so that the index never names a missing map.
    if (maps_.size() == maps_.capacity()) maps_.reserve(2 * maps_.size() + 1);
    id = index_.insert(probe, hash);
    maps_.push_back(m);
  }
  recent_.remember(id);
  return maps_[id];
}

}  // namespace trellan
