#include "egraph/pattern.hpp"

#include <array>

#include "support.hpp"

namespace egraph::test {

// A text; the pattern written back and its number of variables, or the kind
// of error. Rows of kind BadVar are read with parse_var, which reads one variable.
using P = std::tuple<const char*, std::variant<const char*, ParseErrorKind>, size_t>;
class PatternParse : public testing::TestWithParam<P> {};

TEST_P(PatternParse, WritesBackOrNamesTheError) {
  const auto& [text, result, vars] = GetParam();
  if (const auto* kind = std::get_if<ParseErrorKind>(&result)) {
    const bool var = *kind == ParseErrorKind::BadVar;
    EXPECT_EQ((var ? parse_var(text, symbols()).error() : Pattern::parse(text, symbols()).error()).kind, *kind) << text;
    return;
  }
  const Pattern p = parse(text);
  EXPECT_EQ(p.to_string(symbols()), std::get<const char*>(result));
  EXPECT_EQ(p.vars().size(), vars);
  if (const ENode* root = std::get_if<ENode>(&p.nodes().back())) {
    for (Id k : root->children()) EXPECT_LT(k, p.nodes().size() - 1);  // children first
  }
}

using K = ParseErrorKind;
INSTANTIATE_TEST_SUITE_P(
    Cases, PatternParse,
    testing::Values(
        // Atoms end only at spaces, line feeds, carriage returns and parentheses; a lone "?" is an operator.
        P{"(op|add|scalar=f0000000000000000;side=sr\r\n?x)", "(op|add|scalar=f0000000000000000;side=sr ?x)", 1},
        P{"(f\tx ?)", "(f\tx ?)", 0}, P{"(f (g ?a) ?b ?a)", "(f (g ?a) ?b ?a)", 2}, P{"?x", "?x", 1},
        P{"(?x)", "?x", 1}, P{"(c)", "c", 0}, P{"", K::BadSexp, 0}, P{" \r\n", K::BadSexp, 0},
        P{"(f ?a", K::BadSexp, 0}, P{"f)", K::BadSexp, 0}, P{"(f) (g)", K::BadSexp, 0}, P{"a b", K::BadSexp, 0},
        P{"()", K::EmptySexp, 0}, P{"(f ())", K::EmptySexp, 0}, P{"((f) ?a)", K::HeadList, 0},
        P{"(g ((f) ?a))", K::HeadList, 0}, P{"(?f ?a)", K::BadOp, 0}, P{"(g (?f a))", K::BadOp, 0},
        P{"?", K::BadVar, 0}, P{"x?", K::BadVar, 0}, P{"?a b", K::BadVar, 0}, P{"?(a", K::BadVar, 0}));

// On f(x, y), f(y, x), f(x, x), g(f(x, y)), g(y), h(x, q), w(x, y, q, x, y).
TEST(PatternSearch, CountsSubstitutionsByShapeUpToTheLimit) {
  EGraph g;
  const Id x = g.add(leaf("x")), y = g.add(leaf("y")), q = g.add(leaf("q"));
  const Id fxy = g.add(node("f", {x, y})), fyx = g.add(node("f", {y, x}));
  for (ENode n : {node("f", {x, x}), node("g", {fxy}), node("g", {y}), node("h", {x, q}), node("w", {x, y, q, x, y})})
    g.add(n);
  g.rebuild();
  const auto count = [&](const char* pattern, size_t limit = SIZE_MAX) {
    return parse(pattern).search_with_limit(g, limit).total();
  };
  const std::pair<const char*, size_t> cases[] = {
      {"(f ?a ?b)", 3}, {"(f ?a ?a)", 1},       // a repeated variable binds one class
      {"(f ?a)", 0},    {"(g (f ?a ?b))", 1},   // arity must agree
      {"(h ?a q)", 1},  {"(h ?a y)", 0},        // a ground subterm is found by lookup
      {"(h ?a absent)", 0}, {"(nothing ?a)", 0}, {"?z", g.class_count()}};
  for (auto [pattern, n] : cases) EXPECT_EQ(count(pattern), n) << pattern;
  for (size_t limit : {0u, 1u, 2u, 3u, 4u}) EXPECT_EQ(count("(f ?a ?b)", limit), std::min<size_t>(limit, 3));
  // Children bind in order; five variables take a substitution past its inline bindings.
  const Pattern w = parse("(w ?a ?b ?c ?d ?e)");
  const Subst s = w.search(g)[0].substs[0];
  for (size_t k = 0; k < 5; ++k) EXPECT_EQ(s[w.vars()[k]], (std::array{x, y, q, x, y})[k]);
  EXPECT_THROW(s[Var{sym("?unbound")}], std::logic_error);
  g.unite(fxy, fyx);
  g.rebuild();
  Matches m = parse("(f ?a ?b)").search(g);
  EXPECT_EQ(m.size(), 2u);  // grouped by class
  EXPECT_EQ(m.total(), 3u);
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

}  // namespace egraph::test
