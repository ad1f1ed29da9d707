// Times a whole reduction of synthetic pipelines of 10k, 100k and 1M nodes, or
// of stores read from IR blobs (reduced against their marked outputs), and
// splits it by pass. Usage: reduce_bench [--maximal] [--blob FILE]... [sizes...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/mod/driver.hpp"
#include "optimizer/mod/pass_timings.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"

namespace {

using namespace trellan;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

ParamMap scalar(double v, const char* side) {
  return ParamMap::make({{"scalar", ParamValue::Float(v)}, {"side", ParamValue::Str(side)}});
}

class Builder {
 public:
  explicit Builder(GraphStore& store) : store_(store) {}
  NodeId add(NodeKey key) { return store_.intern(std::move(key)).value(); }
  NodeId op(const char* name, IdList inputs, ParamMap p = {}) {
    return add(NodeKey::op(name, std::move(p), std::move(inputs)));
  }

 private:
  GraphStore& store_;
};

// Segments of element-wise chains joined by a reduction and an exchange. Each
// step of a chain holds a commutative pair recorded both ways, an identity op
// (x + 0.0), a fan-out into two ops that meet again, a scaled op and a dead
// branch nothing reads.
std::unique_ptr<GraphStore> synthetic_pipeline(uint64_t target) {
  auto store = std::make_unique<GraphStore>();
  Builder b(*store);
  const ParamMap zero = scalar(0.0, "r");
  const ParamMap twice = scalar(2.0, "r");
  const ParamMap by_key = ParamMap::make({{"scheme", ParamValue::Str("hash")}});
  NodeId carry = b.add(NodeKey::source("input", ParamMap::make({{"part", ParamValue::Int(0)}})));
  uint64_t segment = 0;
  while (store->node_count() < target) {
    NodeId side = b.add(NodeKey::source("side", ParamMap::make({{"part", ParamValue::Int(int64_t(segment))}})));
    NodeId v = b.op("exp", {carry});
    for (int step = 0; step < 40 && store->node_count() < target; ++step) {
      NodeId left = b.op("add", {v, side});
      NodeId right = b.op("add", {side, v});
      NodeId both = b.op("mul", {left, right});
      NodeId same = b.op("add", {both}, zero);
      NodeId top = b.op("sin", {same});
      NodeId bottom = b.op("cos", {same});
      v = b.op("maximum", {top, bottom});
      b.op("tanh", {v});  // dead
      v = b.op("mul", {v}, twice);
    }
    NodeId total = b.add(NodeKey::reduction("sum", {}, {v}));
    if (segment % 8 == 7) (void)store->mark_output(total);
    carry = b.add(NodeKey::exchange(by_key, {total}));
    ++segment;
  }
  (void)store->mark_output(carry);
  return store;
}

struct Row {
  double snapshot = 0, engine_setup = 0, store_build = 0, end_to_end = 0;
  PassTimings passes;
  ReductionReport report;
};

Row measure(const GraphStore& store, bool maximal) {
  Row row;
  auto t = Clock::now();
  Snapshot snap = store.snapshot();
  row.snapshot = since(t);

  t = Clock::now();
  engine::SaturationEngine engine;
  row.engine_setup = since(t);

  Reduced reduced = reduce_timed(snap.nodes, snap.outputs, engine, maximal, &row.passes);
  t = Clock::now();
  auto built = GraphStore::from_reduced(std::move(reduced));
  row.store_build = since(t);
  row.report = built.second;

  // The same reduction as Python runs it, from store to store.
  t = Clock::now();
  engine::SaturationEngine fresh;
  auto again = store.reduce_with(fresh, maximal);
  row.end_to_end = since(t);
  if (again.second != row.report) {
    std::fprintf(stderr, "reports differ between runs\n");
    std::exit(1);
  }
  return row;
}

// Each column at its fastest over the runs: other work on the machine only
// ever adds time.
Row best_of(const GraphStore& store, bool maximal, int runs) {
  Row best = measure(store, maximal);
  auto keep_min = [](double& a, double b) { a = std::min(a, b); };
  for (int i = 1; i < runs; ++i) {
    Row r = measure(store, maximal);
    keep_min(best.snapshot, r.snapshot);
    keep_min(best.engine_setup, r.engine_setup);
    keep_min(best.store_build, r.store_build);
    keep_min(best.end_to_end, r.end_to_end);
    keep_min(best.passes.dead_code, r.passes.dead_code);
    keep_min(best.passes.engine_graph, r.passes.engine_graph);
    keep_min(best.passes.engine, r.passes.engine);
    keep_min(best.passes.cse, r.passes.cse);
    keep_min(best.passes.fusion, r.passes.fusion);
  }
  return best;
}

void print(uint64_t nodes, const Row& r) {
  const PassTimings& p = r.passes;
  double ours = p.dead_code + p.engine_graph + p.cse + p.fusion + r.store_build;
  auto ms = [](double s) { return s * 1e3; };
  auto per = [&](double s) { return s * 1e9 / double(nodes); };
  std::printf("%8llu nodes  reachable %llu  canonical %llu  reduced %llu (stages %llu)\n",
              (unsigned long long)nodes, (unsigned long long)r.report.reachable_nodes,
              (unsigned long long)r.report.canonical_nodes, (unsigned long long)r.report.reduced_nodes,
              (unsigned long long)r.report.stages);
  std::printf("  %-28s %9s %9s\n", "pass", "ms", "ns/node");
  const std::pair<const char*, double> rows[] = {
      {"snapshot", r.snapshot},
      {"dead code", p.dead_code},
      {"token table + engine graph", p.engine_graph},
      {"engine setup", r.engine_setup},
      {"engine", p.engine},
      {"cse", p.cse},
      {"fusion + node map", p.fusion},
      {"store build", r.store_build},
      {"driver passes + store build", ours},
      {"reduce_with end to end", r.end_to_end},
  };
  for (const auto& [name, s] : rows) std::printf("  %-28s %9.2f %9.1f\n", name, ms(s), per(s));
}

std::unique_ptr<GraphStore> read_blob(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto store = deserialize(bytes);
  if (!store) {
    std::fprintf(stderr, "%s: %s\n", path, store.error().message().c_str());
    std::exit(2);
  }
  return std::move(store).value();
}

}  // namespace

int main(int argc, char** argv) {
  bool maximal = false;
  std::vector<uint64_t> sizes;
  std::vector<const char*> blobs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--maximal") == 0) {
      maximal = true;
    } else if (std::strcmp(argv[i], "--blob") == 0 && i + 1 < argc) {
      blobs.push_back(argv[++i]);
    } else {
      sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (sizes.empty() && blobs.empty()) sizes = {10'000, 100'000, 1'000'000};
  std::printf("rule: %s\n", maximal ? "maximal" : "single-use");
  for (const char* path : blobs) {
    auto store = read_blob(path);
    std::printf("%s: %llu nodes, %zu outputs\n", path, (unsigned long long)store->node_count(),
                store->outputs().size());
    print(store->node_count(), best_of(*store, maximal, store->node_count() >= 1'000'000 ? 3 : 20));
  }
  for (uint64_t n : sizes) {
    auto t = Clock::now();
    auto store = synthetic_pipeline(n);
    std::printf("built %llu nodes by interning in %.1f ms\n", (unsigned long long)store->node_count(),
                since(t) * 1e3);
    print(store->node_count(), best_of(*store, maximal, n >= 1'000'000 ? 3 : 5));
  }
  return 0;
}
