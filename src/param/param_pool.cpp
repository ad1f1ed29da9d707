#include "param/param_pool.hpp"

namespace trellan {

const ParamMap& ParamPool::share(const ParamMap& m) {
  if (m.empty()) return m;
  // Identical maps are equal maps, whose digests agree.
  const uint64_t hash = m.digest();
  index_.reserve_one();
  const auto probe = index_.find(hash, [&](uint64_t id) { return maps_[id].identical(m); });
  if (probe.found) return maps_[probe.id];
  // Room in the arena first, so that the index never names a missing map.
  if (maps_.size() == maps_.capacity()) maps_.reserve(2 * maps_.size() + 1);
  index_.insert(probe, hash);
  maps_.push_back(m);
  return maps_.back();
}

}  // namespace trellan
