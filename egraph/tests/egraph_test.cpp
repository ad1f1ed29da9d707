#include "egraph/egraph.hpp"

#include "egraph/pattern.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace egraph {
namespace {

// One table for every symbol of these tests.
SymbolTable& symbols() {
  static SymbolTable table;
  return table;
}
Symbol sym(std::string_view s) { return symbols().intern(s); }
ENode leaf(const char* op) { return ENode(sym(op)); }
ENode node(const char* op, std::initializer_list<Id> kids) { return ENode(sym(op), kids); }

TEST(EGraph, AddingTheSameNodeTwiceReturnsOneClass) {
  EGraph g;
  Id a = g.add(leaf("a"));
  Id fa = g.add(node("f", {a}));
  EXPECT_EQ(g.add(leaf("a")), a);
  EXPECT_EQ(g.add(node("f", {a})), fa);
  EXPECT_EQ(g.id_count(), 2u);
  EXPECT_EQ(g.class_count(), 2u);
  EXPECT_EQ(g.hashcons_size(), 2u);
}

TEST(EGraph, CongruenceAfterUnionOfChildrenCountsOneMerge) {
  EGraph g;
  Id a = g.add(leaf("a")), b = g.add(leaf("b"));
  Id fa = g.add(node("f", {a})), fb = g.add(node("f", {b}));
  g.rebuild();
  EXPECT_TRUE(g.unite(a, b));
  // find sees the union at once; the parents merge only on rebuild.
  EXPECT_EQ(g.find(a), g.find(b));
  EXPECT_NE(g.find(fa), g.find(fb));
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_TRUE(g.is_clean());
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.class_count(), 2u);
  EXPECT_EQ(g.nodes(g.find(fa)).size(), 1u);
  // The stale key f(loser) still counts as a hash-cons entry.
  EXPECT_EQ(g.hashcons_size(), 4u);
}

TEST(EGraph, CongruenceCascadesThroughLevels) {
  EGraph g;
  Id a = g.add(leaf("a")), b = g.add(leaf("b"));
  Id top_a = g.add(node("g", {g.add(node("f", {a})), a}));
  Id top_b = g.add(node("g", {g.add(node("f", {b})), b}));
  g.rebuild();
  g.unite(a, b);
  EXPECT_EQ(g.rebuild(), 2u);
  EXPECT_EQ(g.find(top_a), g.find(top_b));
  EXPECT_EQ(g.class_count(), 3u);
}

TEST(EGraph, UnionWithinOneClassReturnsFalseButMarksDirty) {
  EGraph g;
  Id x = g.add(leaf("x")), y = g.add(leaf("y"));
  g.rebuild();
  EXPECT_FALSE(g.unite(x, x));
  EXPECT_FALSE(g.is_clean());
  g.rebuild();
  EXPECT_TRUE(g.unite(x, y));
  g.rebuild();
  EXPECT_FALSE(g.unite(y, x));
  EXPECT_FALSE(g.is_clean());
  EXPECT_EQ(g.class_count(), 1u);
  EXPECT_EQ(g.nodes(g.find(x)).size(), 2u);
}

// The class with more users keeps its id, whichever argument it is.
TEST(EGraph, SurvivorIsTheClassWithMoreUsers) {
  for (bool busy_first : {true, false}) {
    EGraph g;
    Id busy = g.add(leaf("busy")), idle = g.add(leaf("idle"));
    g.add(node("f", {busy}));
    g.add(node("g", {busy, busy}));
    EXPECT_EQ(g.user_count(busy), 3u);
    EXPECT_EQ(g.user_count(idle), 0u);
    busy_first ? g.unite(busy, idle) : g.unite(idle, busy);
    EXPECT_EQ(g.find(idle), busy) << "busy_first=" << busy_first;
    EXPECT_EQ(g.user_count(busy), 3u);
  }
}

TEST(EGraph, TieKeepsTheFirstArgumentsRoot) {
  for (bool x_first : {true, false}) {
    EGraph g;
    Id x = g.add(leaf("x")), y = g.add(leaf("y"));
    x_first ? g.unite(x, y) : g.unite(y, x);
    EXPECT_EQ(g.find(x), x_first ? x : y);
  }
}

TEST(EGraph, LookupCanonicalizesChildren) {
  EGraph g;
  Id a = g.add(leaf("a")), b = g.add(leaf("b"));
  Id fa = g.add(node("f", {a}));
  EXPECT_EQ(g.lookup(node("f", {b})), std::nullopt);
  EXPECT_EQ(g.lookup(node("f", {a})), fa);
  g.unite(b, a);  // a has a user, so a survives
  g.rebuild();
  EXPECT_EQ(g.lookup(node("f", {b})), g.find(fa));
  EXPECT_EQ(g.lookup(node("g", {a})), std::nullopt);
}

TEST(EGraph, RebuildSortsAndDeduplicatesClassNodes) {
  EGraph g;
  Id a = g.add(leaf("a")), b = g.add(leaf("b"));
  Id ops[] = {g.add(node("z", {a, b})), g.add(node("y", {b})), g.add(node("y", {a})), g.add(node("z", {b, b}))};
  for (Id op : ops) g.unite(ops[0], op);
  g.unite(a, b);
  g.rebuild();
  Id c = g.find(ops[0]);
  std::vector<ENode> seen(g.nodes(c).begin(), g.nodes(c).end());
  // y(a), y(b) and z(a, b), z(b, b) collapse to one each.
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  for (const ENode& n : seen)
    for (Id k : n.children()) EXPECT_EQ(k, g.find(a));
}

TEST(EGraph, WideNodesKeepTheirChildren) {
  EGraph g;
  std::vector<Id> leaves;
  for (const char* s : {"a", "b", "c", "d", "e"}) leaves.push_back(g.add(leaf(s)));
  Id wide = g.add(ENode(sym("join"), leaves));
  ENode copy(sym("join"), leaves);
  ENode moved = std::move(copy);
  EXPECT_EQ(g.add(moved), wide);
  g.unite(leaves[3], leaves[4]);
  g.rebuild();
  auto kids = g.nodes(g.find(wide)).begin()->children();
  ASSERT_EQ(kids.size(), 5u);
  EXPECT_EQ(kids[3], kids[4]);
  EXPECT_EQ(kids[0], leaves[0]);
}

TEST(EGraph, NodeOrderIsOperatorThenChildren) {
  Symbol f = sym("order-f");
  EXPECT_LT(ENode(f, {1}), ENode(f, {1, 0}));  // a prefix sorts first
  EXPECT_LT(ENode(f, {1, 2}), ENode(f, {2, 0}));
  EXPECT_EQ(ENode(f, {1, 2}) <=> ENode(f, {1, 2}), std::strong_ordering::equal);
}

TEST(EGraph, UnknownIdsAreRejected) {
  EGraph g;
  g.add(leaf("a"));
  EXPECT_THROW(g.find(7), std::out_of_range);
  EXPECT_THROW(g.unite(0, 7), std::out_of_range);
  EXPECT_THROW(g.add(node("f", {3})), std::out_of_range);
}

// Naive congruence closure: merge any two nodes with the same operator and
// pairwise-equal children until nothing changes.
std::vector<size_t> naive_closure(const std::vector<std::pair<int, std::vector<size_t>>>& terms,
                                  const std::vector<std::pair<size_t, size_t>>& unions) {
  std::vector<size_t> parent(terms.size());
  for (size_t i = 0; i < parent.size(); ++i) parent[i] = i;
  auto find = [&](size_t x) {
    while (parent[x] != x) x = parent[x];
    return x;
  };
  for (auto [a, b] : unions) parent[find(a)] = find(b);
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t i = 0; i < terms.size(); ++i)
      for (size_t j = i + 1; j < terms.size(); ++j) {
        if (find(i) == find(j) || terms[i].first != terms[j].first) continue;
        if (terms[i].second.size() != terms[j].second.size()) continue;
        bool same = true;
        for (size_t k = 0; k < terms[i].second.size(); ++k)
          same = same && find(terms[i].second[k]) == find(terms[j].second[k]);
        if (same) {
          parent[find(i)] = find(j);
          changed = true;
        }
      }
  }
  std::vector<size_t> roots(terms.size());
  for (size_t i = 0; i < terms.size(); ++i) roots[i] = find(i);
  return roots;
}

// The invariants rebuild promises, and agreement of the operator index, its
// counts and the search with the classes themselves.
void check_clean_graph(const EGraph& g, uint32_t seed) {
  std::set<std::pair<uint32_t, std::vector<Id>>> all_nodes;
  std::map<std::pair<uint32_t, size_t>, size_t> per_shape;  // (op, arity) -> e-nodes
  for (Id c : g.class_ids()) {
    std::vector<ENode> ns(g.nodes(c).begin(), g.nodes(c).end());
    EXPECT_TRUE(std::is_sorted(ns.begin(), ns.end()));
    for (const ENode& n : ns) {
      for (Id k : n.children()) EXPECT_EQ(g.find(k), k);
      EXPECT_EQ(g.lookup(n), c);
      auto key = std::make_pair(n.op().number(), std::vector<Id>(n.children().begin(), n.children().end()));
      EXPECT_TRUE(all_nodes.insert(key).second) << "duplicate e-node across classes, seed " << seed;
      ++per_shape[{n.op().number(), n.arity()}];
    }
  }
  for (const char* text : {"(f ?a)", "(f ?a ?b)", "(g ?a)", "(g ?a ?b)", "(h ?a)", "(h ?a ?b)"}) {
    Pattern p = Pattern::parse(text, symbols()).value();
    const ENode& root = std::get<ENode>(p.nodes().back());
    size_t expected = per_shape[{root.op().number(), root.arity()}];
    Matches m = p.search(g);
    EXPECT_EQ(m.total(), expected) << text << " seed " << seed;
    EXPECT_EQ(p.known_match_count(g), expected) << text << " seed " << seed;
    std::set<Id> groups;
    for (SearchMatches sm : m) EXPECT_TRUE(groups.insert(sm.eclass).second);
  }
}

// Random terms and unions, rebuilt in several rounds, against the naive
// closure.
TEST(EGraph, RebuildMatchesNaiveCongruenceClosure) {
  const char* ops[] = {"f", "g", "h"};
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    EGraph g;
    std::vector<std::pair<int, std::vector<size_t>>> terms;
    std::vector<Id> ids;
    std::vector<std::pair<size_t, size_t>> unions;
    for (int leaf_no = 0; leaf_no < 6; ++leaf_no) {
      terms.push_back({100 + leaf_no, {}});
      ids.push_back(g.add(ENode(sym("leaf" + std::to_string(leaf_no)))));
    }
    for (int round = 0; round < 4; ++round) {
      for (int k = 0; k < 30; ++k) {
        int op = static_cast<int>(rng() % 3);
        std::vector<size_t> kids(1 + rng() % 2);
        std::vector<Id> kid_ids;
        for (size_t& c : kids) {
          c = rng() % terms.size();
          kid_ids.push_back(ids[c]);
        }
        terms.push_back({op, kids});
        ids.push_back(g.add(ENode(sym(ops[op]), kid_ids)));
      }
      for (int k = 0; k < 4; ++k) {
        size_t a = rng() % terms.size(), b = rng() % terms.size();
        unions.emplace_back(a, b);
        g.unite(ids[a], ids[b]);
      }
      g.rebuild();
      check_clean_graph(g, seed);
    }
    auto roots = naive_closure(terms, unions);
    std::map<size_t, Id> naive_to_ours;
    std::set<Id> ours;
    for (size_t i = 0; i < terms.size(); ++i) {
      Id c = g.find(ids[i]);
      auto [it, fresh] = naive_to_ours.emplace(roots[i], c);
      EXPECT_EQ(it->second, c) << "seed " << seed << " term " << i;
      ours.insert(c);
    }
    EXPECT_EQ(ours.size(), naive_to_ours.size()) << "seed " << seed;
    EXPECT_EQ(g.class_count(), ours.size());
  }
}

TEST(EGraph, OperatorsIndexedBeforeTheyExistPickUpLaterNodes) {
  EGraph g;
  Id x = g.add(leaf("x"));
  Pattern p = Pattern::parse("(late ?a)", symbols()).value();
  EXPECT_EQ(p.search(g).total(), 0u);
  g.add(node("late", {x}));
  g.rebuild();
  EXPECT_EQ(p.search(g).total(), 1u);
  EXPECT_EQ(p.known_match_count(g), 1u);
}

}  // namespace
}  // namespace egraph
