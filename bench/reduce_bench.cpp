// Times a whole reduction of synthetic pipelines of 10k, 100k and 1M nodes, or
// of stores read from IR blobs (reduced against their marked outputs), and
// splits it by pass, with the most heap each pass held at once beyond what was
// live when the reduction started (this program counts every allocation).
// Times are the CPU time of the reducing thread (page faults included), which
// other work on the machine disturbs far less than wall time; --wall measures
// wall time instead: the page warmer faults pages in on a thread of its own,
// and only wall time shows what that saves.
// --check prints, instead, a checksum of each reduction's result under both
// fusion rules (the reduced store's blob, its node map and the report), for
// comparing the output of two builds.
// --runs N measures each graph N times (default: 3 from 1M nodes, more below)
// and keeps each column's best; --runs 1 shows the first reduction of a
// process, which faults in all its memory afresh.
// Usage: reduce_bench [--maximal] [--wall] [--check] [--runs N] [--blob FILE]... [sizes...]
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <support/huge_pages.hpp>

#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/passes/driver.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"

// ---- heap counting: every operator new and delete of the program

namespace {

std::atomic<uint64_t> g_live{0};
std::atomic<uint64_t> g_peak{0};

void add_live(int64_t bytes) {
  const uint64_t now = g_live.fetch_add(uint64_t(bytes), std::memory_order_relaxed) + uint64_t(bytes);
  uint64_t peak = g_peak.load(std::memory_order_relaxed);
  while (bytes > 0 && now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void* counted(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  add_live(int64_t(malloc_usable_size(p)));
  return p;
}

void uncounted(void* p) noexcept {
  if (p == nullptr) return;
  g_live.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

void* aligned(size_t n, std::align_val_t a) {
  const size_t align = static_cast<size_t>(a);
  return std::aligned_alloc(align, (std::max<size_t>(n, 1) + align - 1) / align * align);
}

}  // namespace

void* operator new(size_t n) { return counted(std::malloc(std::max<size_t>(n, 1))); }
void* operator new[](size_t n) { return counted(std::malloc(std::max<size_t>(n, 1))); }
void* operator new(size_t n, std::align_val_t a) { return counted(aligned(n, a)); }
void* operator new[](size_t n, std::align_val_t a) { return counted(aligned(n, a)); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  void* p = std::malloc(std::max<size_t>(n, 1));
  return p ? counted(p) : nullptr;
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  void* p = std::malloc(std::max<size_t>(n, 1));
  return p ? counted(p) : nullptr;
}
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, size_t) noexcept { uncounted(p); }
void operator delete[](void* p, size_t) noexcept { uncounted(p); }
void operator delete(void* p, std::align_val_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::align_val_t) noexcept { uncounted(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { uncounted(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { uncounted(p); }

namespace {

using namespace trellan;

class CountingMeter final : public HeapMeter {
 public:
  uint64_t live() override { return g_live.load(std::memory_order_relaxed); }
  uint64_t take_peak() override { return g_peak.exchange(live(), std::memory_order_relaxed); }
};
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double (*now)() = thread_seconds;

double since(double t) { return now() - t; }

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
  // Heap beyond what was live before the snapshot: the snapshot's own, the
  // peak while building the store (the reduced record still held), the peak of
  // the whole reduction from the snapshot to the built store, and what stays:
  // the built store with its node map.
  uint64_t snapshot_bytes = 0, store_build_peak = 0, whole_peak = 0, result_bytes = 0;
  PassTimings passes;
  ReductionReport report;
};

Row measure(const GraphStore& store, bool maximal) {
  Row row;
  CountingMeter meter;
  row.passes.heap = &meter;
  row.passes.clock = now;
  const uint64_t base = meter.live();
  meter.take_peak();
  auto t = now();
  SharedSnapshot snap = store.shared_snapshot();
  row.snapshot = since(t);
  row.snapshot_bytes = meter.live() - base;

  t = now();
  engine::SaturationEngine engine;
  row.engine_setup = since(t);

  Reduced reduced = reduce_timed(snap.nodes, snap.outputs, engine, maximal, true, &row.passes);
  meter.take_peak();
  t = now();
  auto built = store_from_reduced(std::move(reduced));
  row.store_build = since(t);
  row.store_build_peak = meter.take_peak() - base;
  row.result_bytes = meter.live() - base;
  const PassTimings& p = row.passes;
  row.whole_peak = std::max({row.snapshot_bytes + std::max({p.dead_code_peak, p.engine_graph_peak,
                                                            p.engine_peak, p.cse_peak, p.fusion_peak}),
                             row.store_build_peak});
  row.report = built.second;

  // The same reduction as Python runs it, from store to store.
  t = now();
  engine::SaturationEngine fresh;
  auto again = reduce_store(store, std::nullopt, fresh, maximal).value();
  row.end_to_end = since(t);
  if (again.second != row.report) {
    std::fprintf(stderr, "reports differ between runs\n");
    std::exit(1);
  }
  return row;
}

// Each column at its fastest over the runs: other work on the machine only
// ever adds time.
int g_runs = 0;  // --runs, when given

Row best_of(const GraphStore& store, bool maximal, int runs) {
  if (g_runs > 0) runs = g_runs;
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
  auto bytes = [&](uint64_t b) { return double(b) / double(nodes); };
  std::printf("%8llu nodes  reachable %llu  canonical %llu  reduced %llu (stages %llu)\n",
              (unsigned long long)nodes, (unsigned long long)r.report.reachable_nodes,
              (unsigned long long)r.report.canonical_nodes, (unsigned long long)r.report.reduced_nodes,
              (unsigned long long)r.report.stages);
  std::printf("  %-28s %9s %9s %12s\n", "pass", "ms", "ns/node", "peak B/node");
  const std::tuple<const char*, double, double> rows[] = {
      {"snapshot", r.snapshot, bytes(r.snapshot_bytes)},
      {"dead code", p.dead_code, bytes(p.dead_code_peak)},
      {"token table + engine graph", p.engine_graph, bytes(p.engine_graph_peak)},
      {"engine setup", r.engine_setup, -1},
      {"engine", p.engine, bytes(p.engine_peak)},
      {"cse", p.cse, bytes(p.cse_peak)},
      {"fusion + node map", p.fusion, bytes(p.fusion_peak)},
      {"store build", r.store_build, bytes(r.store_build_peak)},
      {"driver passes + store build", ours, -1},
      {"reduce_store end to end", r.end_to_end, bytes(r.whole_peak)},
  };
  for (const auto& [name, s, b] : rows) {
    if (b < 0) {
      std::printf("  %-28s %9.2f %9.1f\n", name, ms(s), per(s));
    } else {
      std::printf("  %-28s %9.2f %9.1f %12.1f\n", name, ms(s), per(s), b);
    }
  }
  std::printf("  the reduced store and its node map stay: %.1f B/node\n", bytes(r.result_bytes));
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

// FNV-1a over everything a reduction returns.
class Checksum {
 public:
  void add(const void* data, size_t n) {
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ static_cast<const uint8_t*>(data)[i]) * 0x100000001b3ULL;
  }
  void add(uint64_t v) { add(&v, sizeof v); }
  uint64_t value() const { return h_; }

 private:
  uint64_t h_ = 0xcbf29ce484222325ULL;
};

void check(const char* what, const GraphStore& store) {
  for (bool maximal : {false, true}) {
    engine::SaturationEngine engine;
    auto [reduced, report] = reduce_store(store, std::nullopt, engine, maximal).value();
    Checksum sum;
    auto blob = serialize_with(*reduced, reduced->outputs()).value();
    sum.add(blob.data(), blob.size());
    for (const NodeMap::Entry& e : reduced->node_map()) {
      sum.add(e ? e->node : ~uint64_t{0});
      sum.add(e && e->member ? *e->member : ~uint64_t{0});
    }
    for (uint64_t v : {report.input_nodes, report.reachable_nodes, report.canonical_nodes, report.stages,
                       report.reduced_nodes, report.boundary_nodes})
      sum.add(v);
    std::printf("%s %s: %016llx (%llu reduced nodes)\n", what, maximal ? "maximal" : "single-use",
                (unsigned long long)sum.value(), (unsigned long long)report.reduced_nodes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  support::large_block_observer.store(&add_live);  // the large tables are mapped, not allocated
  bool maximal = false, checking = false;
  std::vector<uint64_t> sizes;
  std::vector<const char*> blobs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--maximal") == 0) {
      maximal = true;
    } else if (std::strcmp(argv[i], "--check") == 0) {
      checking = true;
    } else if (std::strcmp(argv[i], "--wall") == 0) {
      now = wall_seconds;
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      g_runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--blob") == 0 && i + 1 < argc) {
      blobs.push_back(argv[++i]);
    } else {
      sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (sizes.empty() && blobs.empty()) sizes = {10'000, 100'000, 1'000'000};
  std::printf("rule: %s; %s time\n", maximal ? "maximal" : "single-use", now == wall_seconds ? "wall" : "CPU");
  for (const char* path : blobs) {
    auto store = read_blob(path);
    if (checking) {
      check(path, *store);
      continue;
    }
    std::printf("%s: %llu nodes, %zu outputs\n", path, (unsigned long long)store->node_count(),
                store->outputs().size());
    print(store->node_count(), best_of(*store, maximal, store->node_count() >= 1'000'000 ? 3 : 20));
  }
  for (uint64_t n : sizes) {
    auto t = now();
    auto store = synthetic_pipeline(n);
    if (checking) {
      check(std::to_string(n).c_str(), *store);
      continue;
    }
    std::printf("built %llu nodes by interning in %.1f ms\n", (unsigned long long)store->node_count(),
                since(t) * 1e3);
    print(store->node_count(), best_of(*store, maximal, n >= 1'000'000 ? 3 : 5));
  }
  return 0;
}
