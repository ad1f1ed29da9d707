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
  static Result<Rewrite, UnboundVar> make(std::string_view name, Pattern searcher, Pattern applier);

  Symbol name() const { return name_; }
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
  Rewrite(Symbol name, Pattern searcher, Pattern applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}
  Symbol name_;
  Pattern searcher_;
  Pattern applier_;
};

}  // namespace egraph
