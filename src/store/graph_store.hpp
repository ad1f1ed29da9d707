// The interned, lock-protected arena of IR nodes. Equal keys get one id; ids
// are dense and assigned in first-recording order; inputs always precede
// their consumers, so the arena is topologically ordered. An operation that
// fails, out of memory say, leaves the store consistent and usable: a reader
// changes nothing, an intern either records its key whole or not at all.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/keyed_hash.hpp"
#include "common/poison_mutex.hpp"
#include "common/result.hpp"
#include "node/node_key.hpp"
#include "param/param_pool.hpp"
#include "store/key_index.hpp"
#include "store/node_arena.hpp"
#include "store/node_map.hpp"
#include "store/value_digests.hpp"

namespace trellan {

struct BadNodeId {
  NodeId id = 0;
  std::string message() const { return "no node with id " + std::to_string(id); }
};

// A node map that does not fit its store: an entry names a node the store does
// not have, or a member its node does not have.
struct BadNodeMap {
  uint64_t entry = 0;
  std::string message() const { return "node map entry " + std::to_string(entry) + " names no node or member here"; }
};

// A key of a batch that reads a node the store did not hold when the batch
// began; `row` is the key's position in the batch.
struct BadRow {
  size_t row = 0;
  NodeId id = 0;
  std::string message() const { return "row " + std::to_string(row) + ": " + BadNodeId{id}.message(); }
};

struct Snapshot {
  std::vector<NodeKey> nodes;
  std::vector<NodeId> outputs;
};

// The same, sharing the arena's keys instead of copying them (see NodeArena).
struct SharedSnapshot {
  SharedNodes nodes;
  std::vector<NodeId> outputs;
};

class GraphStore {
 public:
  static constexpr const char* kPoisoned = "trellan-core store mutex poisoned";

  GraphStore();
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  Result<NodeId, BadNodeId> intern(NodeKey key);
  // For keys expected to be new: appends keys in order, under one lock, while
  // each is new and valid, and returns how many it appended. keys[count], if
  // any, is already present or has an input beyond the store and is left
  // untouched. The table probes of the next few keys start early, so that
  // their cache misses overlap.
  size_t append_new(std::span<NodeKey> keys);
  // Interns keys as the loop of intern(key) calls would, under one lock, and
  // returns their ids in order; a key equal to an earlier one of the batch
  // gets that one's id. Every input must name a node present before the
  // call: otherwise the first key that breaks this is the error and nothing
  // is recorded. Running out of memory likewise records nothing.
  Result<std::vector<NodeId>, BadRow> intern_batch(std::span<NodeKey> keys);
  // The same for proto.with_inputs(row) per row, where row i is
  // ids[ends[i - 1] .. ends[i]) (from 0 for the first): a key is built only
  // for a row that is new.
  Result<std::vector<NodeId>, BadRow> intern_rows(NodeKey proto, std::span<const NodeId> ids,
                                                  std::span<const size_t> ends);
  Status<BadNodeId> mark_output(NodeId id);
  // Room for `count` nodes in all, so that recording that many does not move
  // the arena or rehash the table on the way. Changes nothing observable.
  void reserve(uint64_t count);
  // Gives a store read back from a blob the node map of the store it was
  // written from (blobs do not carry one). Each entry must name a node here,
  // and a member only of a stage that has it.
  Status<BadNodeMap> restore_node_map(NodeMap map);

  // A number no other store of this process has had, from 1 up. Names the
  // store without its address, which a later store may reuse.
  uint64_t serial() const { return serial_; }

  uint64_t node_count() const;
  std::vector<NodeId> outputs() const;
  NodeMap node_map() const;
  // The node map's entries of the given ids of the store this one was reduced
  // from, in order, repeats kept; the first id the map does not cover is the
  // error. Reads only those entries, where node_map() copies the whole map.
  Result<std::vector<NodeMap::Entry>, BadNodeId> node_map_entries(std::span<const NodeId> ids) const;
  Snapshot snapshot() const;
  // The nodes and marks as they are now, in one critical section; the nodes
  // are shared with the arena, not copied, and stay as they are.
  SharedSnapshot shared_snapshot() const;
  // The nodes as they are now, shared likewise.
  SharedNodes shared_nodes() const;
  std::vector<NodeKey> snapshot_from(uint64_t start) const;
  // The nodes, shared likewise, with the outputs to work against: the given
  // ids, each checked to name one of those nodes, else the marks taken in the
  // same critical section. The first id that names no node is the error.
  Result<SharedSnapshot, BadNodeId> snapshot_for(std::optional<std::vector<NodeId>> outputs) const;

  // Runs f(nodes, outputs) under the store lock, without copying the arena.
  // For pure C++ readers (the blob writer); f must not call back into Python
  // or into this store. f only reads, so a failure in it leaves the store
  // usable.
  template <class F>
  auto read_locked(F&& f) const {
    auto guard = lock_.lock(PoisonMutex::OnFailure::Consistent);
    return f(inner_.nodes.span(), std::span<const NodeId>(inner_.outputs));
  }

  std::string to_dot() const;

  // The value digests of ids, 32 bytes each, written to out in order; every
  // id must name a node. Each node's digest is computed once, outside the
  // store lock, and kept: a call computes only the nodes recorded since the
  // last one, up to the highest id it is asked for. Calls from several
  // threads compute one after another. A stage without a value fails the
  // call, and every later one that needs its node or a node after it.
  Status<DigestError> value_digests(std::span<const NodeId> ids, uint8_t* out) const;
  // The same for the nodes [0, count).
  Status<DigestError> value_digests(uint64_t count, uint8_t* out) const;
  // How many digests are kept now.
  uint64_t kept_digests() const;

  // A new store built from records: nodes whose inputs are positions in
  // nodes, each before its own; outputs as positions; a node map whose
  // entries name positions. Equal records become one node and the outputs and
  // the map follow them. This is how a reduction's result becomes a store,
  // the one way a store gets a node map; records that break these rules are a
  // fatal internal error. distinct: no two records are equal, so the store
  // takes the arena over as it is and indexes its keys only when it is first
  // asked to intern one (most reduced stores never are).
  static std::unique_ptr<GraphStore> from_records(NodeArena nodes, std::span<const uint64_t> outputs,
                                                  NodeMap node_map, bool distinct);

  // Test hook: leave the lock as an operation that died holding it would.
  void poison_for_testing() const { lock_.poison(); }

 private:
  struct Inner {
    NodeArena nodes;                 // huge-page backed when large
    KeyIndex index;                  // the hash-cons table over nodes
    bool unindexed = false;          // index holds none of nodes yet (see from_records)
    ParamPool params;                // one entry block per distinct param map
    std::vector<NodeId> outputs;
    std::vector<bool> is_output;     // by node id, so marking never scans
    NodeMap node_map;
  };

  // Indexes the keys a store built from distinct records took over, if not
  // done yet; the lock is held. Out of memory, it leaves them unindexed.
  void ensure_indexed();
  // The tail of intern, under the lock: key's inputs are known to be valid.
  NodeId intern_locked(NodeKey& key, uint64_t hash);
  // The body of intern_batch and intern_rows, over a batch that hashes,
  // compares and makes its keys (see graph_store.cpp).
  template <class Batch>
  Result<std::vector<NodeId>, BadRow> intern_each(Batch& batch);
  // Room for `count` nodes in all, growing geometrically, so that a run of
  // batches does not copy the arena once per batch.
  void grow_for(uint64_t count);
  // Its second half: appends key, which the probe found absent.
  NodeId append_locked(NodeKey& key, uint64_t hash, const TaggedIndex::Probe& probe);

  // Makes digests_ hold the first count digests; digest_lock_ is held.
  Status<DigestError> extend_digests(uint64_t count) const;

  const uint64_t serial_;
  mutable PoisonMutex lock_{kPoisoned};
  Inner inner_;
  // Taken before lock_, never after it: one digest computation at a time.
  mutable PoisonMutex digest_lock_{kPoisoned};
  mutable DigestTable digests_;  // by node id, under digest_lock_
};

}  // namespace trellan
