// What every e-graph test builds terms and rules with: one symbol table for
// all of them, and short spellings of leaves, nodes, patterns and rules.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "egraph/pattern.hpp"
#include "egraph/rewrite.hpp"

namespace egraph::test {

inline SymbolTable& symbols() {
  static SymbolTable table;
  return table;
}
inline Symbol sym(std::string_view s) { return symbols().intern(s); }
inline ENode leaf(std::string_view op) { return ENode(sym(op)); }
inline ENode node(std::string_view op, std::initializer_list<Id> kids) { return ENode(sym(op), kids); }

inline Pattern parse(std::string_view text) {
  auto p = Pattern::parse(text, symbols());
  EXPECT_TRUE(p.ok()) << text << ": " << (p.ok() ? "" : p.error().message());
  return std::move(p).value();
}
inline Rewrite rule(std::string_view name, std::string_view searcher, std::string_view applier) {
  return Rewrite::make(name, parse(searcher), parse(applier), symbols()).value();
}

}  // namespace egraph::test
