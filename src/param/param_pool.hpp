// Shares one entry block among identical parameter maps. A graph records the
// same few maps (a scalar and its side, an axis, a scheme) on most of its
// nodes; pooling them keeps one block per distinct map instead of one per node,
// and lets equality stop at the pointer comparison.
#pragma once

#include <vector>

#include "common/recent_ids.hpp"
#include "common/tagged_index.hpp"
#include "param/param.hpp"

namespace trellan {

class ParamPool {
 public:
  // The pooled map identical to m (floats bit for bit), which m itself becomes
  // when no such map is pooled yet. The empty map is never pooled. The
  // reference stays valid until the next call.
  const ParamMap& share(const ParamMap& m);

  size_t size() const { return maps_.size(); }

 private:
  // By digest. A map whose block is pooled already (copied from a pooled key,
  // or shared by the blob reader) is found at its first probe, by address.
  TaggedIndex index_;
  std::vector<ParamMap> maps_;
  // Positions of the last few maps returned, checked by address first: nodes
  // recorded together mostly carry the same few maps.
  RecentIds<size_t, 4> recent_;
};

}  // namespace trellan
