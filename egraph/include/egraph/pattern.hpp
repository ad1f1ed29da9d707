// Patterns: terms over e-nodes and variables, parsed from s-expression text
// and compiled once into a matcher program.
//
// Syntax: an atom is a maximal run of characters other than space, line
// feed, carriage return, "(" and ")"; a list is "(" head-atom children... ")".
// An atom starting with "?" and at least one more character is a variable;
// every other atom is an operator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <support/result.hpp>

#include "egraph/egraph.hpp"
#include "egraph/matches.hpp"
#include "egraph/subst.hpp"

namespace egraph {

enum class ParseErrorKind {
  BadSexp,    // not one well-formed s-expression (e.g. unbalanced parentheses)
  EmptySexp,  // "()"
  HeadList,   // a list whose head is itself a list
  BadOp,      // a variable at the head of a list with children, e.g. (?f ?a)
  BadVar,     // text that is not a variable
};

struct ParseError {
  ParseErrorKind kind;
  std::string text;  // the offending text
  std::string message() const;
};

// Parses a single variable such as "?x", interning its text in symbols.
support::Result<Var, ParseError> parse_var(std::string_view text, SymbolTable& symbols);

// A pattern node: a variable, or an e-node whose children are indices of
// earlier pattern nodes.
using PatternNode = std::variant<Var, ENode>;

class Pattern {
 public:
  // Operators and variables are interned in symbols, which also names them
  // in to_string.
  static support::Result<Pattern, ParseError> parse(std::string_view text, SymbolTable& symbols);
  // `nodes` in child-before-parent order with the root last; children must
  // refer to earlier nodes (throws std::invalid_argument otherwise).
  explicit Pattern(std::vector<PatternNode> nodes);

  std::span<const PatternNode> nodes() const { return nodes_; }
  // Variables in order of first appearance.
  std::span<const Var> vars() const { return vars_; }
  std::string to_string(const SymbolTable& symbols) const;
  // The same pattern with every operator symbol s replaced by map[s]: rules
  // parsed once can run on e-graphs whose symbols come from other tables.
  Pattern with_symbols(std::span<const Symbol> map) const;

  // Every substitution under which this pattern is represented by a class,
  // grouped by class; at most `limit` substitutions. The e-graph must be
  // clean (rebuilt since its last change).
  Matches search_with_limit(const EGraph& egraph, size_t limit) const;
  Matches search(const EGraph& egraph) const { return search_with_limit(egraph, SIZE_MAX); }

  // The number of substitutions `search` would find, when that is known
  // without searching (a single operator over distinct variables: one per
  // e-node). The e-graph must be clean.
  std::optional<size_t> known_match_count(const EGraph& egraph) const;

  // Instantiates this pattern under each substitution and merges the result
  // with the matched class. Returns the ids whose merge took effect.
  std::vector<Id> apply_matches(EGraph& egraph, const Matches& matches) const;
  // Adds this pattern instantiated under `subst`; returns its class id.
  Id instantiate(EGraph& egraph, const Subst& subst) const;

 private:
  struct Instr {
    enum Kind : uint8_t { kBind, kCompare, kCheckGround } kind;
    uint32_t reg;    // register holding the class to examine
    Symbol op;       // kBind: operator
    uint32_t arity;  // kBind: number of children
    uint32_t other;  // kBind: first output register; kCompare: register; kCheckGround: ground slot
  };

  friend class Matcher;
  void compile();
  std::vector<Id> apply_flat(EGraph& egraph, const Matches& matches) const;

  std::vector<PatternNode> nodes_;
  std::vector<Var> vars_;
  // Matcher program, run from register 0 holding the candidate class.
  std::vector<Instr> program_;
  std::vector<uint32_t> var_reg_;     // register of each variable's first occurrence
  std::vector<uint32_t> ground_;      // pattern nodes without variables, checked by lookup
  uint32_t registers_ = 1;
  // A single operator over distinct variables, e.g. (f ?a ?b): each matching
  // e-node is one substitution, so search and apply skip the general machinery.
  bool flat_ = false;
  std::vector<uint32_t> flat_child_;  // flat_: child position bound to vars_[i]
};

}  // namespace egraph
