// Canonicalization throughput on synthetic graphs of 10k, 100k and 1M nodes:
// about 30% parameterless commutative ops over a small window of shared
// operands (so mirrored twins occur), 5% identity ops, the rest unary ops and
// sources. Runs the engine's twelve rules under its own limits and reads the
// classes back, i.e. one full SaturationEngine::canonicalize per graph.
//
// Usage: egraph_bench [sizes...]   (default: 10000 100000 1000000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>
#include <vector>

#include "optimizer/engine/saturation_engine.hpp"

using trellan::engine::Canonical;
using trellan::engine::EngineGraph;
using trellan::engine::SaturationEngine;
using trellan::engine::SaturationSummary;

namespace {

struct SplitMix {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return next() % n; }
};

EngineGraph synthetic(size_t n, uint64_t seed) {
  static const char* kCommutative[] = {"op|add", "op|mul", "op|and", "op|or",
                                       "op|eq",  "op|ne",  "op|maximum", "op|minimum"};
  static const char* kIdentity[] = {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                                    "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  static const char* kUnary[] = {"op|neg", "op|exp", "op|log", "op|abs", "op|sqrt", "op|tanh"};
  SplitMix rng{seed};
  EngineGraph g;
  g.nodes.reserve(n);
  auto recent = [&](size_t i, size_t window) { return i - 1 - rng.below(std::min(i, window)); };
  for (size_t i = 0; i < n; ++i) {
    uint64_t r = rng.below(100);
    trellan::engine::EngineNode node;
    if (i < 8 || r < 15) {
      node.op = "src|in" + std::to_string(i);
      node.opaque = true;
    } else if (r < 45) {
      node.op = kCommutative[rng.below(8)];
      node.children = {recent(i, 12), recent(i, 12)};
    } else if (r < 50) {
      node.op = kIdentity[rng.below(4)];
      node.children = {recent(i, 64)};
    } else {
      node.op = kUnary[rng.below(6)];
      node.children = {recent(i, 64)};
    }
    g.nodes.push_back(std::move(node));
  }
  for (size_t i = n - n / 100; i < n; ++i) g.outputs.push_back(i);
  return g;
}

// CPU time of this thread: on a shared machine it shows the engine's own
// cost when the wall clock also counts other processes.
double thread_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {10000, 100000, 1000000};

  SaturationEngine engine;
  std::printf("%10s %10s %10s %10s %10s %20s %6s %10s\n", "nodes", "wall ms", "ns/node", "cpu ms", "canonical",
              "stop reason", "iters", "engine");
  for (size_t n : sizes) {
    EngineGraph g = synthetic(n, 42);
    // Best of several runs; more for small graphs, whose runs are short.
    int runs = n <= 10000 ? 20 : n <= 100000 ? 5 : 3;
    double best = 1e100, best_cpu = 1e100;
    SaturationSummary summary;
    size_t canonical = 0;
    for (int r = 0; r < runs; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      double c0 = thread_cpu_seconds();
      Canonical c = engine.canonicalize_with_summary(g, summary);
      double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      best = std::min(best, s);
      best_cpu = std::min(best_cpu, thread_cpu_seconds() - c0);
      canonical = c.graph.nodes.size();
    }
    std::printf("%10zu %10.1f %10.1f %10.1f %10zu %20s %6zu %10s\n", n, best * 1e3, best * 1e9 / n, best_cpu * 1e3,
                canonical, summary.stop_reason.c_str(), summary.iterations, summary.general ? "general" : "replay");
  }
  return 0;
}
