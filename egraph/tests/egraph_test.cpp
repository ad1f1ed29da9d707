#include "egraph/egraph.hpp"

#include <functional>
#include <map>
#include <random>
#include <set>

#include "support.hpp"

namespace egraph::test {

TEST(EGraph, MergesAreCountedOnRebuildAndKeepTheBusierRoot) {
  EGraph g;
  Id a = g.add(leaf("a")), b = g.add(leaf("b"));
  Id fa = g.add(node("f", {a})), fb = g.add(node("f", {b}));
  EXPECT_EQ(g.add(node("f", {a})), fa);
  g.rebuild();
  EXPECT_FALSE(g.unite(a, a));
  EXPECT_FALSE(g.is_clean());  // even a union that changes nothing
  EXPECT_TRUE(g.unite(a, b));
  EXPECT_FALSE(g.unite(b, a));
  // find sees the union at once; the parents merge only on rebuild.
  EXPECT_EQ(g.find(a), g.find(b));
  EXPECT_NE(g.find(fa), g.find(fb));
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.find(fa), g.find(fb));
  // One e-node f(a) left in its class, two classes, and the stale key f(b) still counts.
  EXPECT_EQ(std::tuple(g.nodes(g.find(fa)).size(), g.class_count(), g.hashcons_size()), std::tuple(1u, 2u, 4u));
  // The class with more users survives, whichever argument it is; on a tie
  // the root of the first argument does.
  for (bool busy_first : {true, false}) {
    EGraph h;
    Id busy = h.add(leaf("busy")), idle = h.add(leaf("idle")), x = h.add(leaf("x")), y = h.add(leaf("y"));
    h.add(node("f", {busy}));
    busy_first ? h.unite(busy, idle) : h.unite(idle, busy);
    busy_first ? h.unite(x, y) : h.unite(y, x);
    EXPECT_EQ(h.find(idle), busy);
    EXPECT_EQ(h.find(y), busy_first ? x : y);
  }
}

TEST(EGraph, UnknownIdsAreRejected) {
  EGraph g;
  g.add(leaf("a"));
  const std::function<void()> calls[] = {[&] { g.find(7); }, [&] { g.unite(0, 7); }, [&] { g.unite(7, 0); },
                                         [&] { g.add(node("f", {3})); }, [&] { g.lookup(node("f", {0, 3})); }};
  for (const auto& call : calls) EXPECT_THROW(call(), std::out_of_range);
}

// Random terms of up to three children over six leaves, and random unions,
// rebuilt in four rounds. After each: canonical children, sorted class
// lists, no e-node twice, every e-node found by lookup, and searches that
// find each e-node of their shape once, although they first ran before any
// e-node of their operator existed. At the end, the classes of a naive
// closure (merge equal operators over equal children until nothing changes),
// and every term as added found in its class.
TEST(EGraph, RebuildMatchesNaiveCongruenceClosure) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    EGraph g;
    std::vector<ENode> added;               // children as added, not canonical any more
    std::vector<std::vector<size_t>> kids;  // the same by term number
    std::vector<Id> ids;
    std::vector<size_t> naive;  // union-find over term numbers
    std::vector<Pattern> shapes;
    for (const char* text : {"(f ?a)", "(f ?a ?b)", "(f ?a ?b ?c)", "(g ?a)", "(g ?a ?b ?c)", "(h ?a ?b)"}) {
      EXPECT_EQ(shapes.emplace_back(parse(text)).search(g).total(), 0u);
    }
    const auto find = [&](size_t x) { while (naive[x] != x) x = naive[x]; return x; };
    for (int round = 0; round < 4; ++round) {
      for (int k = 0; k < 30; ++k) {
        std::vector<size_t>& t = kids.emplace_back(ids.size() < 6 ? 0 : 1 + rng() % 3);
        std::vector<Id> kid_ids;
        for (size_t& c : t) kid_ids.push_back(ids[c = rng() % ids.size()]);
        const std::string op = ids.size() < 6 ? "leaf" + std::to_string(ids.size()) : std::string(1, "fgh"[rng() % 3]);
        ids.push_back(g.add(added.emplace_back(sym(op), kid_ids)));
        naive.push_back(naive.size());
      }
      for (int k = 0; k < 4; ++k) {
        const size_t a = rng() % ids.size(), b = rng() % ids.size();
        g.unite(ids[a], ids[b]);
        naive[find(a)] = find(b);
      }
      g.rebuild();
      std::set<std::pair<uint32_t, std::vector<Id>>> seen;
      std::map<std::pair<uint32_t, size_t>, size_t> per_shape;  // (op, arity) -> e-nodes
      for (Id c : g.class_ids()) {
        const std::vector<ENode> ns(g.nodes(c).begin(), g.nodes(c).end());
        EXPECT_TRUE(std::is_sorted(ns.begin(), ns.end()));
        for (const ENode& n : ns) {
          for (Id k : n.children()) EXPECT_EQ(g.find(k), k);
          EXPECT_EQ(g.lookup(n), c);
          EXPECT_TRUE(seen.insert({n.op().number(), {n.children().begin(), n.children().end()}}).second) << seed;
          ++per_shape[{n.op().number(), n.arity()}];
        }
      }
      for (const Pattern& p : shapes) {
        const ENode& root = std::get<ENode>(p.nodes().back());
        const size_t expected = per_shape[{root.op().number(), root.arity()}];
        EXPECT_EQ(p.search(g).total(), expected) << p.to_string(symbols()) << " " << seed;
        EXPECT_EQ(p.known_match_count(g), expected) << p.to_string(symbols()) << " " << seed;
      }
    }
    for (bool changed = true; changed;) {
      changed = false;
      for (size_t i = 0; i < ids.size(); ++i)
        for (size_t j = i + 1; j < ids.size(); ++j) {
          bool same = find(i) != find(j) && added[i].matches(added[j]);
          for (size_t k = 0; same && k < kids[i].size(); ++k) same = find(kids[i][k]) == find(kids[j][k]);
          if (same) naive[find(i)] = find(j), changed = true;
        }
    }
    std::map<size_t, Id> naive_to_ours;
    for (size_t i = 0; i < ids.size(); ++i) {
      const Id c = g.find(ids[i]);
      EXPECT_EQ(naive_to_ours.emplace(find(i), c).first->second, c) << "seed " << seed << " term " << i;
      EXPECT_EQ(g.lookup(added[i]), c) << "seed " << seed << " term " << i;
    }
    EXPECT_EQ(g.class_count(), naive_to_ours.size()) << "seed " << seed;
  }
}

}  // namespace egraph::test
