#include "egraph/rewrite.hpp"

#include <algorithm>

namespace egraph {

support::Result<Rewrite, UnboundVar> Rewrite::make(std::string_view name, Pattern searcher, Pattern applier,
                                          const SymbolTable& symbols) {
  auto bound = searcher.vars();
  for (Var v : applier.vars()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return support::Err(UnboundVar{std::string(name), std::string(symbols.str(v.name))});
    }
  }
  return Rewrite(std::string(name), std::move(searcher), std::move(applier));
}

}  // namespace egraph
