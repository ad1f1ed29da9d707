// A named rewrite rule: wherever the searcher matches, the applier is added
// and merged with the matched class.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "egraph/pattern.hpp"

namespace egraph {

// The applier uses a variable that the searcher never binds.
struct UnboundVar {
  std::string rule;
  std::string var;
  std::string message() const { return "Rewrite " + rule + " refers to unbound var " + var; }
};

class Rewrite {
 public:
  // symbols: the table the patterns were parsed with, which names an unbound
  // variable in the error.
  static support::Result<Rewrite, UnboundVar> make(std::string_view name, Pattern searcher, Pattern applier,
                                                   const SymbolTable& symbols);

  const std::string& name() const { return name_; }
  // The same rule with operator symbols mapped as Pattern::with_symbols does.
  Rewrite with_symbols(std::span<const Symbol> map) const {
    return Rewrite(name_, searcher_.with_symbols(map), applier_.with_symbols(map));
  }
  const Pattern& searcher() const { return searcher_; }
  const Pattern& applier() const { return applier_; }

  Matches search_with_limit(const EGraph& egraph, size_t limit) const {
    return searcher_.search_with_limit(egraph, limit);
  }
  Matches search(const EGraph& egraph) const { return searcher_.search(egraph); }
  // Ids whose merge with the matched class took effect.
  std::vector<Id> apply(EGraph& egraph, const Matches& matches) const {
    return applier_.apply_matches(egraph, matches);
  }

 private:
  Rewrite(std::string name, Pattern searcher, Pattern applier)
      : name_(std::move(name)), searcher_(std::move(searcher)), applier_(std::move(applier)) {}
  std::string name_;
  Pattern searcher_;
  Pattern applier_;
};

}  // namespace egraph
