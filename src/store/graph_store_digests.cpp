// The store's value digests: computed in id order, kept, and extended as the
// store grows.
#include <algorithm>
#include <cstring>

#include "store/graph_store.hpp"

namespace trellan {

namespace {
constexpr auto kConsistent = PoisonMutex::OnFailure::Consistent;
}

Status<DigestError> GraphStore::extend_digests(uint64_t count) const {
  const size_t begin = digests_.size();
  if (count <= begin) return {};
  const SharedNodes nodes = shared_nodes();
  if (count > nodes.size()) return Err(DigestError{BadNodeId{count - 1}.message()});
  digests_.grow_to(count);
  size_t done = begin;
  try {
    auto status = ValueDigester().run(nodes.span().first(count), begin, digests_, done);
    digests_.shrink_to(done);
    return status;
  } catch (...) {
    digests_.shrink_to(done);  // keeps what was computed
    throw;
  }
}

Status<DigestError> GraphStore::value_digests(std::span<const NodeId> ids, uint8_t* out) const {
  if (ids.empty()) return {};
  auto guard = digest_lock_.lock(kConsistent);
  auto status = extend_digests(*std::max_element(ids.begin(), ids.end()) + 1);
  if (!status) return status;
  for (size_t k = 0; k < ids.size(); ++k) std::memcpy(out + k * kDigestSize, digests_[ids[k]].data(), kDigestSize);
  return {};
}

Status<DigestError> GraphStore::value_digests(uint64_t count, uint8_t* out) const {
  auto guard = digest_lock_.lock(kConsistent);
  auto status = extend_digests(count);
  if (!status) return status;
  for (size_t i = 0; i < count; i += DigestTable::kChunk) {
    std::memcpy(out + i * kDigestSize, &digests_[i], std::min(count - i, DigestTable::kChunk) * kDigestSize);
  }
  return {};
}

uint64_t GraphStore::kept_digests() const {
  auto guard = digest_lock_.lock(kConsistent);
  return digests_.size();
}

}  // namespace trellan
