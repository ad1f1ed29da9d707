#include "egraph/pattern.hpp"

#include "support.hpp"

namespace egraph {
namespace {

using namespace test;

// Parsed patterns written back, or the kind of error; rows of kind BadVar are
// read with parse_var, which reads one variable.
struct ParseCase {
  const char* text;
  std::variant<const char*, ParseErrorKind> result;
  size_t vars = 0;
};
class PatternParse : public testing::TestWithParam<ParseCase> {};

TEST_P(PatternParse, WritesBackOrNamesTheError) {
  const ParseCase& c = GetParam();
  if (const auto* kind = std::get_if<ParseErrorKind>(&c.result)) {
    auto error = *kind == ParseErrorKind::BadVar ? parse_var(c.text, symbols()).error()
                                                 : Pattern::parse(c.text, symbols()).error();
    EXPECT_EQ(error.kind, *kind) << c.text;
    return;
  }
  const Pattern p = parse(c.text);
  EXPECT_EQ(p.to_string(symbols()), std::get<const char*>(c.result));
  EXPECT_EQ(p.vars().size(), c.vars);
  if (const ENode* root = std::get_if<ENode>(&p.nodes().back())) {
    for (Id k : root->children()) EXPECT_LT(k, p.nodes().size() - 1);  // children first
  }
}

using P = ParseCase;
using K = ParseErrorKind;
INSTANTIATE_TEST_SUITE_P(
    Cases, PatternParse,
    testing::Values(
        // Atoms end only at spaces, line feeds, carriage returns and parentheses; a lone "?" is an operator.
        P{"(op|add|scalar=f0000000000000000;side=sr\r\n?x)", "(op|add|scalar=f0000000000000000;side=sr ?x)", 1},
        P{"(f\tx ?)", "(f\tx ?)", 0}, P{"(f (g ?a) ?b ?a)", "(f (g ?a) ?b ?a)", 2}, P{"?x", "?x", 1},
        P{"(?x)", "?x", 1}, P{"(c)", "c", 0}, P{"", K::BadSexp}, P{" \r\n", K::BadSexp}, P{"(f ?a", K::BadSexp},
        P{"f)", K::BadSexp}, P{"(f) (g)", K::BadSexp}, P{"a b", K::BadSexp}, P{"()", K::EmptySexp},
        P{"(f ())", K::EmptySexp}, P{"((f) ?a)", K::HeadList}, P{"(g ((f) ?a))", K::HeadList},
        P{"(?f ?a)", K::BadOp}, P{"(g (?f a))", K::BadOp}, P{"?", K::BadVar}, P{"x?", K::BadVar},
        P{"?a b", K::BadVar}, P{"?(a", K::BadVar}));

TEST(Rewrite, UnboundApplierVariableIsReported) {
  auto r = Rewrite::make("r1", parse("(f ?a)"), parse("(g ?b)"), symbols());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Rewrite r1 refers to unbound var ?b");
  EXPECT_TRUE(Rewrite::make("r2", parse("(f ?a ?b)"), parse("(g ?b)"), symbols()).ok());
}

// f(x, y), f(y, x), f(x, x), g(f(x, y)), g(y), h(x, q), w(x, y, q, x, y).
class PatternSearch : public testing::Test {
 protected:
  void SetUp() override {
    x = g.add(leaf("x")), y = g.add(leaf("y")), q = g.add(leaf("q"));
    fxy = g.add(node("f", {x, y})), fyx = g.add(node("f", {y, x})), g.add(node("f", {x, x}));
    gf = g.add(node("g", {fxy})), gy = g.add(node("g", {y})), hxq = g.add(node("h", {x, q}));
    g.add(node("w", {x, y, q, x, y}));
    g.rebuild();
  }
  size_t count(const char* pattern, size_t limit = SIZE_MAX) { return parse(pattern).search_with_limit(g, limit).total(); }

  EGraph g;
  Id x, y, q, fxy, fyx, gf, gy, hxq;
};

TEST_F(PatternSearch, CountsSubstitutionsByShapeUpToTheLimit) {
  const std::pair<const char*, size_t> cases[] = {
      {"(f ?a ?b)", 3}, {"(f ?a ?a)", 1},       // a repeated variable binds one class
      {"(f ?a)", 0},    {"(g (f ?a ?b))", 1},   // arity must agree
      {"(h ?a q)", 1},  {"(h ?a y)", 0},        // a ground subterm is found by lookup
      {"(h ?a absent)", 0}, {"(nothing ?a)", 0}, {"?z", g.class_count()}};
  for (auto [pattern, n] : cases) EXPECT_EQ(count(pattern), n) << pattern;
  for (size_t limit : {0u, 1u, 2u, 3u, 4u}) EXPECT_EQ(count("(f ?a ?b)", limit), std::min<size_t>(limit, 3));
  g.unite(fxy, fyx);
  g.rebuild();
  Matches m = parse("(f ?a ?b)").search(g);
  EXPECT_EQ(m.size(), 2u);  // grouped by class
  EXPECT_EQ(m.total(), 3u);
}

// Five variables also take a substitution past its inline bindings.
TEST_F(PatternSearch, SubstitutionsBindChildrenInOrder) {
  for (const char* text : {"(f ?a ?b)", "(w ?a ?b ?c ?d ?e)"}) {
    const Pattern p = parse(text);
    for (SearchMatches sm : p.search(g)) {
      ASSERT_EQ(sm.substs.size(), 1u);
      const ENode& n = *g.nodes(sm.eclass).begin();
      for (size_t k = 0; k < p.vars().size(); ++k) EXPECT_EQ(sm.substs[0][p.vars()[k]], n.children()[k]) << text;
      EXPECT_THROW(sm.substs[0][Var{sym("?unbound")}], std::logic_error);
    }
  }
}

TEST_F(PatternSearch, AppliersAddBottomUpAndMergeWithTheMatch) {
  // A bare variable merges without adding e-nodes; applying again changes nothing.
  const Pattern searcher = parse("(g ?a)");
  const size_t before = g.hashcons_size();
  EXPECT_EQ(parse("?a").apply_matches(g, searcher.search(g)).size(), 2u);
  EXPECT_EQ(g.hashcons_size(), before);
  g.rebuild();
  EXPECT_EQ(g.find(gf), g.find(fxy));
  EXPECT_EQ(g.find(gy), g.find(y));
  EXPECT_TRUE(parse("?a").apply_matches(g, searcher.search(g)).empty());
  EXPECT_EQ(parse("(k (f ?b ?a) ?a)").apply_matches(g, parse("(h ?a ?b)").search(g)).size(), 1u);
  g.rebuild();
  const auto inner = g.lookup(node("f", {q, x}));
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(g.lookup(node("k", {*inner, x})), g.find(hxq));
}

// Matches found before the e-graph changed must not be taken as proof that a
// result is already present. A search of a single operator keeps child
// lists; the same matches copied as substitutions must apply alike.
TEST(Pattern, StaleMatchesApplyInFullAsChildListsAndAsSubstitutions) {
  for (bool stale : {false, true}) {
    EGraph g[2];
    Matches m[2];
    const Pattern searcher = parse("(f ?a ?b)"), applier = parse("(f ?b ?a)");
    Id x, y, z, fxy;
    for (int k = 0; k < 2; ++k) {
      x = g[k].add(leaf("x")), y = g[k].add(leaf("y")), z = g[k].add(leaf("z"));
      for (const char* op : {"g", "h", "k"}) g[k].add(node(op, {z}));
      fxy = g[k].add(node("f", {x, y}));
      g[k].unite(fxy, g[k].add(node("f", {y, x})));
      g[k].add(node("f", {x, z}));
      g[k].rebuild();
      m[k] = searcher.search(g[k]);
      if (stale) g[k].unite(x, z);  // z has more users, so x now leads to z
    }
    Matches copy;
    for (SearchMatches sm : m[1]) copy.add(sm.eclass, sm.substs);
    const std::vector<Id> merged = applier.apply_matches(g[0], m[0]);
    EXPECT_EQ(merged.size(), stale ? 3u : 1u);  // f(z, x); or f(y, z), f(z, y) and f(z, z)
    EXPECT_EQ(applier.apply_matches(g[1], copy), merged);
    EXPECT_EQ(g[0].hashcons_size(), g[1].hashcons_size());
    EXPECT_EQ(g[0].rebuild(), g[1].rebuild());
    EXPECT_EQ(g[0].class_count(), g[1].class_count());
    if (stale) {
      EXPECT_EQ(g[0].lookup(node("f", {y, z})), g[0].find(fxy));
    }
  }
}

}  // namespace
}  // namespace egraph
