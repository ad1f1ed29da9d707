#include "egraph/pattern.hpp"

#include <gtest/gtest.h>

#include "egraph/rewrite.hpp"

namespace egraph {
namespace {

// One table for every symbol of these tests.
SymbolTable& symbols() {
  static SymbolTable table;
  return table;
}
Symbol sym(std::string_view s) { return symbols().intern(s); }

Pattern parse(std::string_view text) {
  auto p = Pattern::parse(text, symbols());
  EXPECT_TRUE(p.ok()) << text << ": " << (p.ok() ? "" : p.error().message());
  return std::move(p).value();
}

ENode leaf(const char* op) { return ENode(sym(op)); }
ENode node(const char* op, std::initializer_list<Id> kids) { return ENode(sym(op), kids); }

struct ParseCase {
  const char* text;
  ParseErrorKind kind;
};

class PatternParseError : public testing::TestWithParam<ParseCase> {};

TEST_P(PatternParseError, IsReported) {
  auto p = Pattern::parse(GetParam().text, symbols());
  ASSERT_FALSE(p.ok());
  EXPECT_EQ(p.error().kind, GetParam().kind);
  EXPECT_FALSE(p.error().message().empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, PatternParseError,
                         testing::Values(ParseCase{"", ParseErrorKind::BadSexp},
                                         ParseCase{" \r\n", ParseErrorKind::BadSexp},
                                         ParseCase{"(f ?a", ParseErrorKind::BadSexp},
                                         ParseCase{"f)", ParseErrorKind::BadSexp},
                                         ParseCase{"(f) (g)", ParseErrorKind::BadSexp},
                                         ParseCase{"a b", ParseErrorKind::BadSexp},
                                         ParseCase{"()", ParseErrorKind::EmptySexp},
                                         ParseCase{"(f ())", ParseErrorKind::EmptySexp},
                                         ParseCase{"((f) ?a)", ParseErrorKind::HeadList},
                                         ParseCase{"(g ((f) ?a))", ParseErrorKind::HeadList},
                                         ParseCase{"(?f ?a)", ParseErrorKind::BadOp},
                                         ParseCase{"(g (?f a))", ParseErrorKind::BadOp}));

TEST(Pattern, ParseVarRejectsNonVariables) {
  for (const char* bad : {"", "?", "x", "x?", "?a b", "?(a"}) {
    auto v = parse_var(bad, symbols());
    ASSERT_FALSE(v.ok()) << bad;
    EXPECT_EQ(v.error().kind, ParseErrorKind::BadVar);
  }
  EXPECT_EQ(parse_var("?x", symbols()).value(), Var{sym("?x")});
}

TEST(Pattern, AtomsEndOnlyAtSpacesNewlinesAndParentheses) {
  Pattern p = parse("(op|add|scalar=f0000000000000000;side=sr\r\n?x)");
  ASSERT_EQ(p.nodes().size(), 2u);
  const ENode& root = std::get<ENode>(p.nodes()[1]);
  EXPECT_EQ(symbols().str(root.op()), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(root.arity(), 1u);
  // A tab is an ordinary character; a lone "?" is an operator.
  Pattern tab = parse("(f\tx ?)");
  EXPECT_EQ(symbols().str(std::get<ENode>(tab.nodes().back()).op()), "f\tx");
  EXPECT_EQ(symbols().str(std::get<ENode>(tab.nodes()[0]).op()), "?");
  EXPECT_TRUE(tab.vars().empty());
}

TEST(Pattern, NodesAreChildrenFirstWithRootLast) {
  Pattern p = parse("(f (g ?a) ?b ?a)");
  ASSERT_EQ(p.nodes().size(), 5u);
  const ENode& root = std::get<ENode>(p.nodes().back());
  for (Id c : root.children()) EXPECT_LT(c, 4u);
  ASSERT_EQ(p.vars().size(), 2u);
  EXPECT_EQ(symbols().str(p.vars()[0].name), "?a");
  EXPECT_EQ(symbols().str(p.vars()[1].name), "?b");
  EXPECT_EQ(p.to_string(symbols()), "(f (g ?a) ?b ?a)");
  EXPECT_EQ(parse("?x").to_string(symbols()), "?x");
  EXPECT_EQ(parse("(?x)").to_string(symbols()), "?x");
  EXPECT_EQ(parse("(c)").to_string(symbols()), "c");
}

TEST(Rewrite, UnboundApplierVariableIsReported) {
  auto r = Rewrite::make("r1", parse("(f ?a)"), parse("(g ?b)"), symbols());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Rewrite r1 refers to unbound var ?b");
  EXPECT_TRUE(Rewrite::make("r2", parse("(f ?a ?b)"), parse("(g ?b)"), symbols()).ok());
}

// f(x, y), f(y, x), f(x, x), g(f(x, y)), g(y), h(x, q) with q a constant.
class PatternSearch : public testing::Test {
 protected:
  void SetUp() override {
    x = g.add(leaf("x"));
    y = g.add(leaf("y"));
    q = g.add(leaf("q"));
    fxy = g.add(node("f", {x, y}));
    fyx = g.add(node("f", {y, x}));
    fxx = g.add(node("f", {x, x}));
    gf = g.add(node("g", {fxy}));
    gy = g.add(node("g", {y}));
    hxq = g.add(node("h", {x, q}));
    g.rebuild();
  }
  size_t count(const char* pattern, size_t limit = SIZE_MAX) { return parse(pattern).search_with_limit(g, limit).total(); }

  EGraph g;
  Id x, y, q, fxy, fyx, fxx, gf, gy, hxq;
};

TEST_F(PatternSearch, CountsSubstitutionsByShape) {
  EXPECT_EQ(count("(f ?a ?b)"), 3u);
  EXPECT_EQ(count("(f ?a ?a)"), 1u);   // repeated variable binds one class
  EXPECT_EQ(count("(f ?a)"), 0u);      // arity must agree
  EXPECT_EQ(count("(g (f ?a ?b))"), 1u);
  EXPECT_EQ(count("(h ?a q)"), 1u);    // ground subterm found by lookup
  EXPECT_EQ(count("(h ?a y)"), 0u);
  EXPECT_EQ(count("(h ?a absent)"), 0u);
  EXPECT_EQ(count("?z"), g.class_count());
  EXPECT_EQ(count("(nothing ?a)"), 0u);
}

TEST_F(PatternSearch, SubstitutionsBindChildrenInOrder) {
  Pattern p = parse("(f ?a ?b)");
  Matches m = p.search(g);
  ASSERT_EQ(m.size(), 3u);
  Var a{sym("?a")}, b{sym("?b")};
  for (SearchMatches sm : m) {
    ASSERT_EQ(sm.substs.size(), 1u);
    const ENode& n = *g.nodes(sm.eclass).begin();
    EXPECT_EQ(sm.substs[0][a], n.children()[0]);
    EXPECT_EQ(sm.substs[0][b], n.children()[1]);
    EXPECT_THROW(sm.substs[0][Var{sym("?c")}], std::logic_error);
  }
}

TEST_F(PatternSearch, MatchesInOneClassAreGroupedAndLimitStopsTheSearch) {
  g.unite(fxy, fyx);
  g.rebuild();
  Matches m = parse("(f ?a ?b)").search(g);
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(m.total(), 3u);
  for (size_t limit : {0u, 1u, 2u, 3u, 4u}) EXPECT_EQ(count("(f ?a ?b)", limit), std::min<size_t>(limit, 3));
}

TEST_F(PatternSearch, VariableApplierMergesWithoutAddingNodes) {
  Pattern searcher = parse("(g ?a)");
  size_t before = g.hashcons_size();
  std::vector<Id> merged = parse("?a").apply_matches(g, searcher.search(g));
  EXPECT_EQ(merged.size(), 2u);
  EXPECT_EQ(g.hashcons_size(), before);
  g.rebuild();
  EXPECT_EQ(g.find(gf), g.find(fxy));
  EXPECT_EQ(g.find(gy), g.find(y));
  // Applying again changes nothing.
  EXPECT_TRUE(parse("?a").apply_matches(g, searcher.search(g)).empty());
}

TEST_F(PatternSearch, NestedApplierIsAddedBottomUp) {
  Pattern searcher = parse("(h ?a ?b)");
  Pattern applier = parse("(k (f ?b ?a) ?a)");
  EXPECT_EQ(applier.apply_matches(g, searcher.search(g)).size(), 1u);
  g.rebuild();
  auto inner = g.lookup(node("f", {q, x}));
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(g.lookup(node("k", {*inner, x})), g.find(hxq));
}

// Matches found before the e-graph changed must not be taken as proof that a
// result is already present.
TEST(Pattern, StaleMatchesAreAppliedInFull) {
  EGraph g;
  Id x = g.add(leaf("x")), y = g.add(leaf("y")), z = g.add(leaf("z"));
  for (const char* op : {"g", "h", "k"}) g.add(node(op, {z}));
  Id fxy = g.add(node("f", {x, y}));
  g.unite(fxy, g.add(node("f", {y, x})));
  g.rebuild();
  Pattern searcher = parse("(f ?a ?b)"), applier = parse("(f ?b ?a)");
  Matches m = searcher.search(g);
  ASSERT_EQ(m.total(), 2u);
  EXPECT_TRUE(applier.apply_matches(g, m).empty());  // saturated: nothing to do
  g.unite(x, z);  // z has more users, so x now leads to z
  EXPECT_EQ(applier.apply_matches(g, m).size(), 2u);  // f(y, z) and f(z, y) are new
  g.rebuild();
  EXPECT_EQ(g.lookup(node("f", {y, z})), g.find(fxy));
}

// A search of a single operator keeps child lists; the same matches copied
// as substitutions must apply with the same effect, fresh or stale.
TEST(Pattern, MatchesApplyAlikeAsChildListsAndAsSubstitutions) {
  for (bool stale : {false, true}) {
    EGraph g[2];
    Matches m[2];
    Pattern searcher = parse("(f ?a ?b)"), applier = parse("(f ?b ?a)");
    for (int k = 0; k < 2; ++k) {
      Id x = g[k].add(leaf("x")), y = g[k].add(leaf("y")), z = g[k].add(leaf("z"));
      g[k].add(node("h", {z}));
      g[k].unite(g[k].add(node("f", {x, y})), g[k].add(node("f", {y, x})));
      g[k].add(node("f", {x, z}));
      g[k].rebuild();
      m[k] = searcher.search(g[k]);
      if (stale) g[k].unite(x, z);
    }
    Matches copy;
    for (SearchMatches sm : m[1]) copy.add(sm.eclass, sm.substs);
    EXPECT_EQ(applier.apply_matches(g[0], m[0]), applier.apply_matches(g[1], copy)) << stale;
    EXPECT_EQ(g[0].hashcons_size(), g[1].hashcons_size()) << stale;
    EXPECT_EQ(g[0].rebuild(), g[1].rebuild()) << stale;
    EXPECT_EQ(g[0].class_count(), g[1].class_count()) << stale;
  }
}

TEST(Subst, SpillsBeyondThreeBindings) {
  Subst s;
  for (Id i = 0; i < 5; ++i) s.insert(Var{sym("?v" + std::to_string(i))}, i * 10);
  s.insert(Var{sym("?v1")}, 99);
  EXPECT_EQ(s.size(), 5u);
  EXPECT_EQ(s[Var{sym("?v1")}], 99u);
  EXPECT_EQ(s[Var{sym("?v4")}], 40u);
  EXPECT_EQ(s.get(Var{sym("?v9")}), std::nullopt);
}

}  // namespace
}  // namespace egraph
