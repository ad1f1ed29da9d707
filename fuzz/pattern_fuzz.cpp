// The e-graph pattern parser on arbitrary text. A pattern that parses prints
// to a text that parses to the same pattern, and matches its own
// instantiation: built into an empty e-graph over one leaf per variable, it
// is found at the instantiated class with every variable bound to its leaf,
// and applying it to its own matches merges nothing.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"
#include "fuzz_check.hpp"

using namespace egraph;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  SymbolTable symbols;
  auto parsed = Pattern::parse(text, symbols);
  if (!parsed.ok()) {
    FUZZ_CHECK(!parsed.error().message().empty());
    return 0;
  }
  const Pattern& p = parsed.value();
  auto nodes = p.nodes();
  FUZZ_CHECK(!nodes.empty());
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (const ENode* n = std::get_if<ENode>(&nodes[i])) {
      for (Id c : n->children()) FUZZ_CHECK(c < i);
    }
  }

  const std::string printed = p.to_string(symbols);
  auto reparsed = Pattern::parse(printed, symbols);
  FUZZ_CHECK(reparsed.ok());
  FUZZ_CHECK(reparsed.value().to_string(symbols) == printed);
  FUZZ_CHECK(reparsed.value().nodes().size() == nodes.size());

  // Leaf operators contain a space, which no parsed atom can.
  EGraph eg;
  Subst subst;
  for (size_t v = 0; v < p.vars().size(); ++v) {
    subst.insert(p.vars()[v], eg.add(ENode(symbols.intern("leaf " + std::to_string(v)))));
  }
  const Id root = p.instantiate(eg, subst);
  eg.rebuild();
  const size_t classes = eg.class_count();

  Matches matches = p.search(eg);
  bool found = false;
  for (SearchMatches m : matches) {
    FUZZ_CHECK(!m.substs.empty());
    if (m.eclass != eg.find(root)) continue;
    for (const Subst& s : m.substs) {
      bool all = s.size() == p.vars().size();
      for (const Var& var : p.vars()) {
        all = all && s.get(var).has_value() && eg.find(*s.get(var)) == eg.find(subst[var]);
      }
      found = found || all;
    }
  }
  FUZZ_CHECK(found);

  auto rule = Rewrite::make("fuzz self", p, p, symbols);
  FUZZ_CHECK(rule.ok());
  FUZZ_CHECK(rule.value().apply(eg, matches).empty());
  eg.rebuild();
  FUZZ_CHECK(eg.class_count() == classes);
  return 0;
}
