// The reduction pipeline: dead-code elimination, the token table, the rewrite
// engine, common-subexpression elimination and stage fusion, and the record
// of one reduction they produce.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node/node_key.hpp"
#include "optimizer/engine/engine_graph.hpp"
#include "store/node_map.hpp"

namespace trellan {

// The six counters of a reduction, in report order.
struct ReductionReport {
  uint64_t input_nodes = 0;
  uint64_t reachable_nodes = 0;
  uint64_t canonical_nodes = 0;
  uint64_t stages = 0;
  uint64_t reduced_nodes = 0;
  uint64_t boundary_nodes = 0;
  bool operator==(const ReductionReport&) const = default;
};

// The result record of one reduction.
struct Reduced {
  std::vector<NodeKey> nodes;     // emission order; inputs are earlier positions
  std::vector<uint64_t> outputs;  // one per requested output, order and repeats kept
  NodeMap node_map;               // one entry per source node
  ReductionReport report;
};

// nodes: position i is node id i and every input is smaller than i.
// outputs: ids into nodes (validated by the caller).
// distinct_keys: no two nodes are equal keys, as in a store; the result is
// the same either way, only found faster.
Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                         const engine::RewriteEngine& engine, bool maximal_fusion, bool distinct_keys = false);

// Where the time of one reduction goes, pass by pass: filled in on request by
// the benchmark and left out of every ordinary call.

// A program that counts its heap (the benchmark) offers it through this.
class HeapMeter {
 public:
  virtual ~HeapMeter() = default;
  // Bytes allocated and not yet freed.
  virtual uint64_t live() = 0;
  // The highest live() since the last call (or since the meter was made),
  // starting the next such period at the current live().
  virtual uint64_t take_peak() = 0;
};

struct PassTimings {
  double dead_code = 0;     // seconds
  double engine_graph = 0;  // token table and the engine graph
  double engine = 0;        // RewriteEngine::canonicalize
  double cse = 0;           // operator ids of the canonical graph and cse
  double fusion = 0;        // stage fusion and the node map

  // Seconds on the clock the benchmark reads (its thread's CPU time, say);
  // a monotonic wall clock when not set.
  double (*clock)() = nullptr;

  // When heap is set: the most bytes each pass held live at once beyond what
  // was live when the reduction started (tables of earlier passes still held
  // count in; the result of the reduction counts in the last pass).
  HeapMeter* heap = nullptr;
  uint64_t dead_code_peak = 0;
  uint64_t engine_graph_peak = 0;
  uint64_t engine_peak = 0;
  uint64_t cse_peak = 0;
  uint64_t fusion_peak = 0;
};

// reduce_with_mode, recording the time of each pass into timings when it is
// not null. The result does not depend on timings.
Reduced reduce_timed(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                     const engine::RewriteEngine& engine, bool maximal_fusion, bool distinct_keys,
                     PassTimings* timings);

}  // namespace trellan
