#include "optimizer/incremental/incremental_reducer.hpp"

#include <gtest/gtest.h>

#include <numeric>

#include "optimizer/engine/saturation_engine.hpp"

namespace trellan {
namespace {

using engine::EngineNode;

// Hands the graph back unchanged and keeps a copy, so a test can see the
// canonical form the reducer gave the driver.
class RecordingEngine : public engine::RewriteEngine {
 public:
  engine::Canonical canonicalize(const engine::EngineGraph& graph) const override {
    seen = graph;
    engine::Canonical out{graph, std::vector<uint64_t>(graph.nodes.size())};
    std::iota(out.node_map.begin(), out.node_map.end(), 0);
    return out;
  }
  mutable engine::EngineGraph seen;
};

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap::make(std::move(entries)); }
ParamMap scalar_side(ParamValue scalar, const char* side) {
  return params({{"scalar", std::move(scalar)}, {"side", ParamValue::Str(side)}});
}
NodeKey src(const char* name) { return NodeKey::source(name, ParamMap()); }
NodeKey op(const char* name, IdList inputs, ParamMap p = {}) {
  return NodeKey::op(name, std::move(p), std::move(inputs));
}

class Recorder {
 public:
  NodeId add(NodeKey key) { return store.intern(std::move(key)).value(); }
  std::vector<NodeKey> delta(uint64_t from) const { return store.snapshot_from(from); }
  // Steps the reducer over everything recorded since its watermark.
  uint64_t step(IncrementalReducer& r) const { return r.step(delta(r.watermark())).value(); }

  GraphStore store;
};

std::vector<NodeId> all_ids(uint64_t n) {
  std::vector<NodeId> ids(n);
  std::iota(ids.begin(), ids.end(), 0);
  return ids;
}

// The canonical form as the driver sees it when every store node is an
// output: with nothing dead, engine positions are canonical ids.
std::vector<EngineNode> canonical_form(const IncrementalReducer& r) {
  RecordingEngine engine;
  auto reduced = r.finalize(all_ids(r.watermark()), engine, false);
  EXPECT_TRUE(reduced.ok());
  return engine.seen.nodes;
}

EngineNode source_node(const char* name) { return {std::string("src|") + name, {}, true}; }

TEST(IncrementalReducer, FreshReducerIsEmpty) {
  IncrementalReducer r;
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.canonical_count(), 0u);
  EXPECT_EQ(r.total_work(), 0u);
  auto n = r.step({});
  ASSERT_TRUE(n.ok());
  EXPECT_EQ(n.value(), 0u);
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.total_work(), 0u);
}

TEST(IncrementalReducer, CommutativePairKeepsFirstOrientation) {
  Recorder g;
  NodeId a = g.add(src("a")), b = g.add(src("b"));
  NodeId ab = g.add(op("add", {a, b}));
  NodeId ba = g.add(op("add", {b, a}));
  IncrementalReducer r;
  EXPECT_EQ(g.step(r), 4u);
  EXPECT_EQ(r.watermark(), 4u);
  EXPECT_EQ(r.canonical_count(), 3u);
  EXPECT_EQ(canonical_form(r), (std::vector<EngineNode>{source_node("a"), source_node("b"),
                                                        {"op|add", {0, 1}, false}}));
  RecordingEngine engine;
  auto reduced = r.finalize(all_ids(4), engine, false);
  ASSERT_TRUE(reduced.ok());
  EXPECT_EQ(reduced.value().node_map[ab], reduced.value().node_map[ba]);
}

TEST(IncrementalReducer, OnlyPlainCommutativeOpsAreMirrored) {
  Recorder g;
  NodeId a = g.add(src("a")), b = g.add(src("b"));
  auto tagged = params({{"k", ParamValue::Int(1)}});
  g.add(op("add", {a, b}, tagged));  // params: never commuted
  g.add(op("add", {b, a}, tagged));
  g.add(op("sub", {a, b}));          // not a commutative name
  g.add(op("sub", {b, a}));
  g.add(op("maximum", {b, a}));      // the first recorded orientation stays
  g.add(op("maximum", {a, b}));
  g.add(op("add", {a, a}));          // its own mirror
  g.add(op("add", {a, b, a}));       // three inputs: hash-consing only
  g.add(op("add", {b, a, a}));
  IncrementalReducer r;
  g.step(r);
  EXPECT_EQ(r.watermark(), 11u);
  auto form = canonical_form(r);
  ASSERT_EQ(form.size(), 10u);
  EXPECT_EQ(form[6], (EngineNode{"op|maximum", {1, 0}, false}));
  EXPECT_EQ(form[7], (EngineNode{"op|add", {0, 0}, false}));
}

TEST(IncrementalReducer, IdentityOpsFoldIntoTheirInput) {
  Recorder g;
  NodeId x = g.add(src("x"));
  NodeId plus0 = g.add(op("add", {x}, scalar_side(ParamValue::Float(0.0), "r")));
  NodeId plus00 = g.add(op("add", {plus0}, scalar_side(ParamValue::Float(0.0), "l")));
  NodeId times1 = g.add(op("mul", {plus00}, scalar_side(ParamValue::Float(1.0), "l")));
  // Over x and over the identity chain: one canonical node.
  NodeId f1 = g.add(op("neg", {x}));
  NodeId f2 = g.add(op("neg", {times1}));
  IncrementalReducer r;
  g.step(r);
  EXPECT_EQ(r.canonical_count(), 2u);
  EXPECT_EQ(canonical_form(r), (std::vector<EngineNode>{source_node("x"), {"op|neg", {0}, false}}));

  RecordingEngine engine;
  auto reduced = r.finalize(all_ids(r.watermark()), engine, false);
  ASSERT_TRUE(reduced.ok());
  const NodeMap& map = reduced.value().node_map;
  ASSERT_EQ(map.size(), 6u);
  for (NodeId id : {plus0, plus00, times1}) EXPECT_EQ(map[id], map[x]);
  EXPECT_EQ(map[f1], map[f2]);
}

TEST(IncrementalReducer, NearIdentitiesAreOrdinaryNodes) {
  Recorder g;
  NodeId x = g.add(src("x"));
  NodeId p = g.add(src("p")), q = g.add(src("q"));
  g.add(op("add", {x}, scalar_side(ParamValue::Int(0), "r")));         // integer scalar
  g.add(op("add", {x}, scalar_side(ParamValue::Float(-0.0), "r")));    // -0.0 is not 0.0
  g.add(op("mul", {x}, scalar_side(ParamValue::Float(2.0), "l")));
  g.add(op("add", {x}, params({{"scalar", ParamValue::Float(0.0)},
                               {"side", ParamValue::Str("r")}, {"x", ParamValue::Int(0)}})));
  // An identity token needs exactly one input to fold: with two inputs it is
  // a node (and, carrying params, is not mirrored either); with none it is a
  // node too, and hash-consed like any other.
  auto times1 = scalar_side(ParamValue::Float(1.0), "l");
  g.add(op("mul", {p, q}, times1));
  g.add(op("mul", {q, p}, times1));
  g.add(op("mul", {}, times1));
  IncrementalReducer r;
  g.step(r);
  EXPECT_EQ(r.watermark(), 10u);
  EXPECT_EQ(r.canonical_count(), 10u);
  IncrementalReducer again;
  ASSERT_TRUE(again.step(g.delta(0)).ok());
  ASSERT_TRUE(again.step(std::vector<NodeKey>{op("mul", {}, times1)}).ok());
  EXPECT_EQ(again.canonical_count(), 10u);
}

TEST(IncrementalReducer, DeltasAddUpAndBatchingDoesNotMatter) {
  Recorder g;
  NodeId a = g.add(src("a")), b = g.add(src("b"));
  g.add(op("add", {a, b}));
  IncrementalReducer batched, single;
  EXPECT_EQ(g.step(batched), 3u);
  EXPECT_EQ(g.step(batched), 0u);
  NodeId ba = g.add(op("add", {b, a}));
  NodeId z = g.add(op("add", {ba}, scalar_side(ParamValue::Float(0.0), "r")));
  NodeId m = g.add(op("mul", {z, a}));
  g.add(op("mul", {a, ba}));
  g.add(NodeKey::reduction("sum", ParamMap(), {m}));
  EXPECT_EQ(g.step(batched), 5u);
  EXPECT_EQ(batched.total_work(), 8u);
  EXPECT_EQ(batched.watermark(), 8u);

  for (const NodeKey& node : g.delta(0)) {
    ASSERT_EQ(single.step(std::vector<NodeKey>{node}).value(), 1u);
  }
  EXPECT_EQ(single.total_work(), 8u);
  EXPECT_EQ(single.canonical_count(), batched.canonical_count());
  EXPECT_EQ(canonical_form(single), canonical_form(batched));
  RecordingEngine e1, e2;
  EXPECT_EQ(single.finalize(all_ids(8), e1, false).value().node_map,
            batched.finalize(all_ids(8), e2, false).value().node_map);
}

TEST(IncrementalReducer, FailedStepKeepsWhatItConsumed) {
  Recorder g;
  g.add(src("a"));
  g.add(src("b"));
  IncrementalReducer r;
  g.step(r);
  // A delta from another store: the first two nodes resolve, the third names
  // an id no step has covered.
  std::vector<NodeKey> foreign = {src("z"), op("f", {1}), op("g", {7, 9}), src("never")};
  auto result = r.step(foreign);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().id, 7u);
  EXPECT_EQ(r.watermark(), 4u);
  EXPECT_EQ(r.canonical_count(), 4u);
  EXPECT_EQ(r.total_work(), 2u);
  // Later steps go on from the advanced watermark.
  EXPECT_EQ(r.step(std::vector<NodeKey>{op("h", {3})}).value(), 1u);
  EXPECT_EQ(r.watermark(), 5u);
  EXPECT_EQ(r.total_work(), 3u);
}

TEST(IncrementalReducer, FinalizeReducesAgainstAnEliminatedIdentity) {
  Recorder g;
  NodeId x = g.add(src("x"));
  NodeId y = g.add(src("y"));
  NodeId plus0 = g.add(op("add", {x}, scalar_side(ParamValue::Float(0.0), "r")));
  IncrementalReducer r;
  g.step(r);
  RecordingEngine engine;
  auto result = r.finalize(std::vector<NodeId>{plus0, plus0}, engine, false);
  ASSERT_TRUE(result.ok());
  const Reduced& reduced = result.value();
  ASSERT_EQ(reduced.nodes.size(), 1u);
  EXPECT_EQ(reduced.nodes[0], src("x"));
  EXPECT_EQ(reduced.outputs, (std::vector<uint64_t>{0, 0}));
  // One entry per store node; input_nodes counts the canonical form.
  EXPECT_EQ(reduced.node_map, (NodeMap{Placement{0, std::nullopt}, std::nullopt,
                                       Placement{0, std::nullopt}}));
  (void)y;
  EXPECT_EQ(reduced.report.input_nodes, 2u);
  EXPECT_EQ(reduced.report.reachable_nodes, 1u);
}

TEST(IncrementalReducer, FinalizeRejectsUncoveredOutputs) {
  Recorder g;
  g.add(src("x"));
  IncrementalReducer r;
  g.step(r);
  RecordingEngine engine;
  auto result = r.finalize(std::vector<NodeId>{0, 3, 1}, engine, false);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().id, 3u);
  EXPECT_EQ(r.watermark(), 1u);
  EXPECT_EQ(r.canonical_count(), 1u);
}

TEST(IncrementalReducer, FinalizeCanRepeatAndFollowLaterSteps) {
  Recorder g;
  NodeId a = g.add(src("a"));
  NodeId f = g.add(op("neg", {a}));
  IncrementalReducer r;
  g.step(r);
  RecordingEngine engine;
  auto first = r.finalize(std::vector<NodeId>{f}, engine, true).value();
  auto second = r.finalize(std::vector<NodeId>{f}, engine, true).value();
  EXPECT_EQ(first.nodes, second.nodes);
  EXPECT_EQ(first.outputs, second.outputs);
  EXPECT_EQ(first.node_map, second.node_map);
  EXPECT_EQ(first.report, second.report);

  NodeId h = g.add(op("abs", {f}));
  g.step(r);
  auto third = r.finalize(std::vector<NodeId>{h}, engine, true).value();
  EXPECT_EQ(third.node_map.size(), 3u);
  EXPECT_EQ(third.report.input_nodes, 3u);
}

// The canonical form only anticipates merges the whole-store reduction makes
// anyway, so both roads end in the same reduced graph and node map.
TEST(IncrementalReducer, FinalizeAgreesWithWholeStoreReduction) {
  Recorder g;
  NodeId a = g.add(src("a")), b = g.add(src("b"));
  NodeId ab = g.add(op("add", {a, b}));
  NodeId ba = g.add(op("add", {b, a}));
  NodeId z = g.add(op("add", {ba}, scalar_side(ParamValue::Float(0.0), "r")));
  NodeId m = g.add(op("mul", {ab, z}));
  g.add(op("neg", {b}));  // dead
  NodeId r1 = g.add(NodeKey::reduction("sum", ParamMap(), {m}));
  NodeId e = g.add(NodeKey::exchange(ParamMap(), {r1}));
  NodeId t = g.add(op("exp", {e}));
  IncrementalReducer r;
  g.step(r);
  const std::vector<NodeId> outputs = {t, m};
  for (bool maximal : {false, true}) {
    engine::SaturationEngine e1, e2;
    auto incremental = r.finalize(outputs, e1, maximal);
    ASSERT_TRUE(incremental.ok());
    auto whole = g.store.reduce_with_outputs(outputs, e2, maximal);
    ASSERT_TRUE(whole.ok());
    const GraphStore& reduced_store = *whole.value().first;
    EXPECT_EQ(incremental.value().nodes, reduced_store.snapshot().nodes);
    EXPECT_EQ(incremental.value().node_map, reduced_store.node_map());
    EXPECT_EQ(incremental.value().report.input_nodes, r.canonical_count());
    EXPECT_EQ(incremental.value().report.reduced_nodes, whole.value().second.reduced_nodes);
  }
}

}  // namespace
}  // namespace trellan
