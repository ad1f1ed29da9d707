// Running a compiled pattern against an e-graph, and instantiating appliers.
#include <algorithm>
#include <stdexcept>

#include "egraph/pattern.hpp"

namespace egraph {

// Executes a pattern's program on one candidate class at a time. Each Bind
// is a choice point over the class's e-nodes; on failure, or after a
// complete match, the most recent choice point resumes with its next e-node.
class Matcher {
 public:
  Matcher(const Pattern& p, const EGraph& g) : p_(p), g_(g), regs_(p.registers_) {}

  // Classes of the variable-free subterms; false when one is absent, in
  // which case the pattern cannot match anywhere.
  bool resolve_ground() {
    std::vector<Id> cls(p_.nodes_.size(), kNoId);
    std::vector<Id> kids;
    for (uint32_t q : p_.ground_) {
      // Ground subterms are small; evaluate each one bottom-up on demand.
      for (size_t i = 0; i <= q; ++i) {
        const ENode* n = std::get_if<ENode>(&p_.nodes_[i]);
        if (n == nullptr || cls[i] != kNoId) continue;
        kids.clear();
        bool known = true;
        for (Id c : n->children()) {
          known = known && cls[c] != kNoId;
          kids.push_back(cls[c]);
        }
        if (!known) continue;
        auto found = g_.lookup(ENode(n->op(), kids));
        if (found) cls[i] = *found;
      }
      if (cls[q] == kNoId) return false;
      ground_.push_back(cls[q]);
    }
    return true;
  }

  // Appends up to `limit` (>= 1) substitutions found in `eclass` to `out`.
  size_t run(Id eclass, size_t limit, Matches& out) {
    regs_[0] = eclass;
    size_t found = 0;
    if (p_.program_.empty()) {
      emit(out);
      return 1;
    }
    stack_.clear();
    size_t pc = 0;
    for (;;) {
      bool ok;
      if (pc == p_.program_.size()) {
        emit(out);
        if (++found == limit) return found;
        ok = false;
      } else {
        const Pattern::Instr& in = p_.program_[pc];
        switch (in.kind) {
          case Pattern::Instr::kBind: {
            Id head = g_.cls_[regs_[in.reg]].node_head;
            ok = bind(pc, head, head);
            break;
          }
          case Pattern::Instr::kCompare: ok = regs_[in.reg] == regs_[in.other]; break;
          case Pattern::Instr::kCheckGround: ok = regs_[in.reg] == ground_[in.other]; break;
          default: ok = false;
        }
      }
      if (ok) {
        ++pc;
        continue;
      }
      for (;;) {
        if (stack_.empty()) return found;
        Choice c = stack_.back();
        stack_.pop_back();
        if (bind(c.pc, c.next, c.head)) {
          pc = c.pc + 1;
          break;
        }
      }
    }
  }

 private:
  struct Choice {
    size_t pc;
    Id next;  // e-node to try next in the class list, or kNoId
    Id head;  // where that list starts (and ends: lists are cycles)
  };

  // Picks the first e-node from `from` on that fits the Bind at `pc`.
  bool bind(size_t pc, Id from, Id head) {
    const Pattern::Instr& in = p_.program_[pc];
    for (Id e = from; e != kNoId; e = g_.next_in_class(e, head)) {
      const ENode& n = g_.node_[e];
      if (n.op() != in.op || n.arity() != in.arity) continue;
      auto kids = n.children();
      std::copy(kids.begin(), kids.end(), regs_.begin() + in.other);
      stack_.push_back({pc, g_.next_in_class(e, head), head});
      return true;
    }
    return false;
  }

  void emit(Matches& out) {
    Subst s;
    for (size_t v = 0; v < p_.vars_.size(); ++v) s.insert(p_.vars_[v], regs_[p_.var_reg_[v]]);
    out.push(s);
  }

  const Pattern& p_;
  const EGraph& g_;
  std::vector<Id> regs_;
  std::vector<Id> ground_;
  std::vector<Choice> stack_;
};

constexpr size_t kSearchAhead = 16;

// Candidates are the classes holding an e-node with the root's operator,
// found through the e-graph's per-operator lists (a variable root takes every
// class). Each class is visited once; the search stops as soon as `limit`
// substitutions have been found.
Matches Pattern::search_with_limit(const EGraph& g, size_t limit) const {
  Matches out;
  if (limit == 0) return out;
  Matcher m(*this, g);
  if (!m.resolve_ground()) return out;
  size_t remaining = limit;

  const ENode* root = std::get_if<ENode>(&nodes_.back());
  if (root == nullptr) {
    for (Id id = 0; id < g.parent_.size() && remaining > 0; ++id) {
      if (g.parent_[id] != id) continue;
      remaining -= m.run(id, remaining, out);
      out.close_class(id);
    }
    return out;
  }
  uint32_t epoch = g.next_epoch();
  const Instr& bind = program_[0];
  if (flat_) {
    std::vector<std::pair<Var, uint32_t>> binds;
    for (size_t v = 0; v < vars_.size(); ++v) binds.emplace_back(vars_[v], flat_child_[v]);
    out.start_flat(static_cast<uint32_t>(root->arity()), std::move(binds));
  }
  std::span<const Id> candidates = g.ids_with_op(root->op());
  for (size_t j = 0; j < candidates.size(); ++j) {
    // The candidates are scattered over the per-id arrays; request the ones
    // a few steps ahead so their cache misses overlap.
    if (j + kSearchAhead < candidates.size()) g.prefetch_class_of(candidates[j + kSearchAhead]);
    if (j + kSearchAhead / 2 < candidates.size()) g.prefetch_second_node(candidates[j + kSearchAhead / 2]);
    Id e = candidates[j];
    if (g.dropped_[e] || g.node_[e].arity() != root->arity()) continue;
    Id eclass = g.find(e);
    if (g.mark_[eclass] == epoch) continue;
    g.mark_[eclass] = epoch;
    if (flat_) {
      // Every e-node of the class with this operator and arity is one match.
      const Id head = g.cls_[eclass].node_head;
      for (Id at = head; at != kNoId && remaining > 0; at = g.next_in_class(at, head)) {
        const ENode& n = g.node_[at];
        if (n.op() != bind.op || n.arity() != bind.arity) continue;
        out.push_flat(n.children());
        --remaining;
      }
    } else {
      remaining -= m.run(eclass, remaining, out);
    }
    out.close_class(eclass);
    if (remaining == 0) return out;  // possibly cut short: no snapshot
  }
  if (flat_ && g.is_clean()) {
    std::vector<Var> by_child(root->arity());
    for (size_t v = 0; v < vars_.size(); ++v) by_child[flat_child_[v]] = vars_[v];
    out.snapshot_ = Matches::Snapshot{g.version(), root->op(), std::move(by_child)};
  }
  return out;
}

namespace {

// Builds the pattern bottom-up: a variable yields its bound class, an e-node
// is added with its children's ids. `ids` and `kids` are reusable scratch.
Id instantiate_into(std::span<const PatternNode> nodes, EGraph& g, const Subst& subst, std::vector<Id>& ids,
                    std::vector<Id>& kids) {
  ids.resize(nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (const Var* v = std::get_if<Var>(&nodes[i])) {
      ids[i] = subst[*v];
      continue;
    }
    const ENode& n = std::get<ENode>(nodes[i]);
    kids.clear();
    for (Id c : n.children()) kids.push_back(ids[c]);
    ids[i] = g.add(ENode(n.op(), kids));
  }
  return ids.back();
}

}  // namespace

std::optional<size_t> Pattern::known_match_count(const EGraph& g) const {
  if (!flat_) return std::nullopt;
  const ENode& root = std::get<ENode>(nodes_.back());
  return g.count_nodes(root.op(), root.arity());
}

Id Pattern::instantiate(EGraph& g, const Subst& subst) const {
  std::vector<Id> ids, kids;
  return instantiate_into(nodes_, g, subst, ids, kids);
}

std::vector<Id> Pattern::apply_matches(EGraph& g, const Matches& matches) const {
  if (flat_) return apply_flat(g, matches);
  std::vector<Id> merged, ids, kids;
  for (SearchMatches m : matches) {
    for (const Subst& s : m.substs) {
      Id r = instantiate_into(nodes_, g, s, ids, kids);
      if (g.unite(r, m.eclass)) merged.push_back(r);
    }
  }
  return merged;
}

// The applier is one operator over variables, e.g. (f ?b ?a).
//
// A match whose result is already an e-node of the matched class has no
// effect: add finds it and the union is a no-op. When the matches are a
// complete snapshot of the unchanged e-graph, that is visible from the matches
// themselves, without touching the hash-cons. (Commutativity re-applied to a
// class that already holds both orders is the common case.)
//
// The rest is software-pipelined: while match j is added, the hash-cons slot
// for match j + 8 and the e-node that match j + 4 will compare with are
// already on their way into the cache.
std::vector<Id> Pattern::apply_flat(EGraph& g, const Matches& matches) const {
  constexpr size_t kSlotAhead = 8, kNodeAhead = 4, kRing = 16;
  const ENode& root = std::get<ENode>(nodes_.back());
  const auto& snap = matches.snapshot();
  const bool same_shape = snap && snap->op == root.op() && snap->vars.size() == root.arity();
  const size_t total = matches.total();
  std::vector<Id> kids(root.arity());

  // The matches as child lists: kept that way by a search of a single
  // operator over distinct variables, else read from the substitutions.
  // source[k]: the match child that becomes child k of the result.
  // A variable the matches do not bind takes the substitution path, which
  // reports it.
  bool flat_matches = matches.flat_.has_value();
  std::vector<uint32_t> source(root.arity(), 0);
  for (size_t v = 0; v < vars_.size() && flat_matches; ++v) {
    auto& binds = matches.flat_->binds;
    auto it = std::find_if(binds.begin(), binds.end(), [&](const auto& b) { return b.first == vars_[v]; });
    flat_matches = it != binds.end();
    if (flat_matches) source[flat_child_[v]] = it->second;
  }
  auto fill_kids = [&](size_t j) {
    if (flat_matches) {
      std::span<const Id> m = matches.flat_kids(j);
      for (size_t k = 0; k < kids.size(); ++k) kids[k] = m[source[k]];
    } else {
      const Subst& s = matches.substs_[j];
      for (size_t v = 0; v < vars_.size(); ++v) kids[flat_child_[v]] = s[vars_[v]];
    }
  };
  // Whether matches [begin, end) of one class include one whose e-node is
  // exactly (op kids): a snapshot's matches are the class's e-nodes.
  auto in_group = [&](size_t begin, size_t end) {
    for (size_t o = begin; o < end; ++o) {
      bool equal = true;
      if (flat_matches) {
        std::span<const Id> m = matches.flat_kids(o);
        for (size_t k = 0; k < kids.size() && equal; ++k) equal = m[k] == kids[k];
      } else {
        const Subst& other = matches.substs_[o];
        for (size_t k = 0; k < kids.size() && equal; ++k) equal = other[snap->vars[k]] == kids[k];
      }
      if (equal) return true;
    }
    return false;
  };
  if (!flat_matches) matches.materialize();

  struct Job {
    uint32_t match;
    Id eclass;
    bool present;  // the result was in the class when the matches were found
  };
  std::vector<Job> jobs;
  jobs.reserve(total);
  for (size_t i = 0; i < matches.size(); ++i) {
    const size_t begin = matches.class_begin(i), end = matches.class_end(i);
    for (size_t j = begin; j < end; ++j) {
      bool present = false;
      if (same_shape) {
        fill_kids(j);
        present = in_group(begin, end);
      }
      jobs.push_back({static_cast<uint32_t>(j), matches.classes_[i], present});
    }
  }

  auto skip = [&](size_t j) { return jobs[j].present && g.version() == snap->version; };
  std::vector<ENode> ring(kRing);
  auto stage = [&](size_t j) {
    if (skip(j)) return;
    fill_kids(jobs[j].match);
    ring[j % kRing] = ENode(root.op(), kids);
    g.prefetch(ring[j % kRing]);
    g.prefetch_union_target(jobs[j].eclass);
  };
  std::vector<Id> merged;
  for (size_t j = 0; j < std::min(kSlotAhead, jobs.size()); ++j) stage(j);
  for (size_t j = 0; j < jobs.size(); ++j) {
    if (j + kSlotAhead < jobs.size()) stage(j + kSlotAhead);
    if (j + kNodeAhead < jobs.size() && !skip(j + kNodeAhead)) g.prefetch_match(ring[(j + kNodeAhead) % kRing]);
    if (skip(j)) continue;
    fill_kids(jobs[j].match);
    Id r = g.add(ENode(root.op(), kids));
    if (g.unite(r, jobs[j].eclass)) merged.push_back(r);
  }
  return merged;
}

}  // namespace egraph
