// The hash-cons index of node keys, shared by the graph store and the
// incremental reducer: a TaggedIndex over their arena of keys, hashed with a
// key drawn per index, since names and params come from users.
#pragma once

#include <cstdint>
#include <span>

#include "common/keyed_hash.hpp"
#include "common/tagged_index.hpp"
#include "node/node_key.hpp"

namespace trellan {

class KeyIndex : public TaggedIndex {
 public:
  KeyIndex() : hash_key_(HashKey::random()) {}

  uint64_t hash(const NodeKey& key) const {
    KeyedHasher h(hash_key_);
    key.hash(h);
    return h.finish();
  }
  // The hash of key.with_inputs(inputs), without building that key.
  uint64_t hash(const NodeKey& key, std::span<const NodeId> inputs) const {
    KeyedHasher h(hash_key_);
    key.hash(h, inputs);
    return h.finish();
  }

  // The hashes of keys that differ from proto only in their inputs, with
  // proto's other fields hashed once.
  class RowHasher {
   public:
    RowHasher(const KeyIndex& index, const NodeKey& proto) : index_(index), proto_(proto), fields_(index.hash_key_) {
      named_ = proto.hash_named_fields(fields_);
      source_ = proto.kind() == NodeKind::Source;
    }
    uint64_t operator()(std::span<const NodeId> inputs) const {
      if (!named_) return index_.hash(proto_, inputs);
      return source_ ? fields_.finish() : fields_.finish_with_counted(inputs);
    }
    // The hashes of out.size() rows of `width` inputs each, one after another
    // in ids, into out.
    void rows(std::span<const NodeId> ids, size_t width, std::span<uint64_t> out) const {
      if (named_ && !source_) return fields_.finish_rows(ids, width, out);
      for (size_t i = 0; i < out.size(); ++i) out[i] = (*this)(ids.subspan(i * width, width));
    }

   private:
    const KeyIndex& index_;
    const NodeKey& proto_;
    KeyedHasher fields_;
    bool named_;
    bool source_;
  };

 private:
  HashKey hash_key_;
};

}  // namespace trellan
