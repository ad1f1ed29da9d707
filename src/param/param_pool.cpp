#include "param/param_pool.hpp"

namespace trellan {

ParamMap ParamPool::share(const ParamMap& m) {
  if (m.empty()) return m;
  KeyedHasher h(hash_key_);
  m.hash_exact(h);
  const uint64_t hash = h.finish();
  index_.reserve_one();
  auto probe = index_.find(hash, [&](uint64_t id) { return maps_[id].identical(m); });
  if (probe.found) return maps_[probe.id];
  index_.insert(probe, hash);
  maps_.push_back(m);
  return m;
}

}  // namespace trellan
