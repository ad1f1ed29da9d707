// Reductions of whatever store the blob reader accepts. A decoded store was
// built by interning, so every reduction path must succeed on it without a
// panic (an uncaught exception is a crash here), give a well-formed reduced
// store, and give it the same way twice.
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "fuzz_check.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/incremental/incremental_reducer.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"

using namespace trellan;

namespace {

// Reductions are superlinear in the worst case; small graphs find the bugs.
constexpr uint64_t kMaxNodes = 200;

std::vector<uint8_t> bytes_of(const GraphStore& store) {
  auto blob = serialize_with(store, store.outputs());
  FUZZ_CHECK(blob.ok());
  return std::move(blob).value();
}

void check_reduced(const GraphStore& source, const StoreAndReport& result) {
  const GraphStore& reduced = *result.first;
  const NodeMap map = reduced.node_map();
  FUZZ_CHECK(map.size() == source.node_count());
  Snapshot snap = reduced.snapshot();
  for (const auto& entry : map) {
    if (!entry) continue;
    FUZZ_CHECK(entry->node < snap.nodes.size());
    if (entry->member) {
      const NodeKey& stage = snap.nodes[entry->node];
      FUZZ_CHECK(stage.kind() == NodeKind::Stage);
      FUZZ_CHECK(*entry->member < stage.members().size());
    }
  }
  // A fused stage can equal a Stage the source already held; interning then
  // gives both one id, so the store may be smaller than the counter says.
  FUZZ_CHECK(snap.nodes.size() <= result.second.reduced_nodes);
  FUZZ_CHECK(result.second.reachable_nodes <= result.second.input_nodes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto decoded = deserialize(std::span<const uint8_t>(data, size));
  if (!decoded.ok() || decoded.value()->node_count() > kMaxNodes) return 0;
  const GraphStore& store = *decoded.value();
  engine::SaturationEngine engine;

  for (bool maximal : {false, true}) {
    StoreAndReport first = reduce_store(store, std::nullopt, engine, maximal).value();
    check_reduced(store, first);
    StoreAndReport second = reduce_store(store, std::nullopt, engine, maximal).value();
    FUZZ_CHECK(first.second == second.second);
    FUZZ_CHECK(bytes_of(*first.first) == bytes_of(*second.first));
  }

  // Every node an output, listed backwards.
  std::vector<NodeId> all(store.node_count());
  std::iota(all.rbegin(), all.rend(), NodeId{0});
  auto everything = reduce_store(store, all, engine, false);
  FUZZ_CHECK(everything.ok());
  check_reduced(store, everything.value());

  // The incremental path, fed in two steps.
  IncrementalReducer reducer;
  const uint64_t half = store.node_count() / 2;
  std::vector<NodeKey> nodes = store.snapshot().nodes;
  FUZZ_CHECK(reducer.step(std::span<const NodeKey>(nodes).first(half)).ok());
  FUZZ_CHECK(reducer.step(std::span<const NodeKey>(nodes).subspan(half)).ok());
  FUZZ_CHECK(reducer.watermark() == store.node_count());
  FUZZ_CHECK(reducer.canonical_count() <= reducer.watermark());
  auto finalized = reducer.finalize(store.outputs(), engine, false);
  FUZZ_CHECK(finalized.ok());
  check_reduced(store, store_from_reduced(std::move(finalized).value()));
  return 0;
}
