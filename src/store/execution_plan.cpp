#include "store/execution_plan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/keyed_hash.hpp"
#include "common/tagged_index.hpp"

namespace trellan {

std::string PlanError::message() const {
  return kind == Kind::BadNodeId ? BadNodeId{id}.message() : text;
}

namespace {

constexpr size_t kMaxIndex = std::numeric_limits<int32_t>::max();

// The needed ids as a bitset, with the number of needed ids before each word,
// so that an id's step is found in constant time without a per-node table.
class NeededSet {
 public:
  explicit NeededSet(size_t count) : words_((count + 63) / 64, 0) {}

  // Marks id; true when it was not marked before.
  bool mark(NodeId id) {
    uint64_t& w = words_[id / 64];
    const uint64_t bit = uint64_t{1} << (id % 64);
    if (w & bit) return false;
    w |= bit;
    return true;
  }
  // Calls visit(id) for each marked id, highest first; ids that visit marks
  // below the current one are visited in turn.
  template <class Visit>
  void sweep_down(Visit&& visit) {
    for (size_t k = words_.size(); k-- > 0;) {
      uint64_t left = ~uint64_t{0};  // the bits of word k below the last one visited
      while (const uint64_t w = words_[k] & left) {
        const unsigned bit = 63 - std::countl_zero(w);
        left = (uint64_t{1} << bit) - 1;
        visit(64 * k + bit);
      }
    }
  }
  // Numbers the marked ids; afterwards step_of works.
  std::vector<int64_t> ids() {
    std::vector<int64_t> out;
    size_t count = 0;
    for (uint64_t w : words_) count += std::popcount(w);
    out.reserve(count);
    before_.resize(words_.size());
    uint32_t seen = 0;
    for (size_t k = 0; k < words_.size(); ++k) {
      before_[k] = seen;
      for (uint64_t w = words_[k]; w != 0; w &= w - 1) {
        out.push_back(static_cast<int64_t>(64 * k + std::countr_zero(w)));
      }
      seen += std::popcount(words_[k]);
    }
    return out;
  }
  int32_t step_of(NodeId id) const {
    const uint64_t below = words_[id / 64] & ((uint64_t{1} << (id % 64)) - 1);
    return static_cast<int32_t>(before_[id / 64] + std::popcount(below));
  }

 private:
  std::vector<uint64_t> words_;
  std::vector<uint32_t> before_;
};

// Marks every node an output depends on. A node's inputs have lower ids, so
// one sweep down from the highest id meets each needed node after all of its
// readers, and reads the nodes in address order rather than at random.
NeededSet mark_needed(const SharedNodes& nodes, std::span<const NodeId> outputs) {
  NeededSet needed(nodes.size());
  for (NodeId o : outputs) needed.mark(o);
  needed.sweep_down([&](NodeId i) {
    for (NodeId j : nodes[i].inputs()) needed.mark(j);
  });
  return needed;
}

PlanError invalid(std::string text) { return {PlanError::Kind::Invalid, 0, std::move(text)}; }

// A row of our own small ints (an operator, a stage shape): no user picks
// them, so a fast unkeyed mix is enough. The index takes a slot from the low
// bits and a tag from the top ones, so the fold brings the top bits down.
uint64_t int_hash(std::span<const int32_t> row) {
  uint64_t h = row.size();
  for (int32_t v : row) h = (h ^ static_cast<uint32_t>(v)) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

// The positions of texts met lately, by a cheap hash of their ends, tried
// before the keyed hash: a graph has few names and member tokens, met again
// and again. A hit is checked against the text itself, so a collision (which
// a user could make) costs a keyed lookup, never a wrong answer.
class RecentTexts {
 public:
  // The position remembered for s, when text_at(position) is s.
  template <class TextAt>
  std::optional<uint32_t> find(std::string_view s, TextAt&& text_at) const {
    const uint32_t at = at_[slot(s)];
    if (at != 0 && text_at(at - 1) == s) return at - 1;
    return std::nullopt;
  }
  void remember(std::string_view s, uint32_t at) { at_[slot(s)] = at + 1; }

 private:
  static constexpr unsigned kBits = 6;
  static size_t slot(std::string_view s) {
    uint64_t head = 0, tail = 0;
    // An empty text may have no storage behind it: memcpy must not see its null pointer.
    if (!s.empty()) std::memcpy(&head, s.data(), std::min<size_t>(8, s.size()));
    if (s.size() > 8) std::memcpy(&tail, s.data() + s.size() - 8, 8);
    return ((head ^ std::rotl(tail, 29) ^ s.size()) * 0x9E3779B97F4A7C15ull) >> (64 - kBits);
  }
  std::array<uint32_t, size_t{1} << kBits> at_{};  // position + 1; 0: none
};

// The position in an arena of the entry with `hash` that `same` accepts; when
// there is none, `add` appends one to the arena and the index learns of it.
template <class Same, class Add>
int32_t find_or_add(TaggedIndex& index, uint64_t hash, Same&& same, Add&& add) {
  index.reserve_one();
  const TaggedIndex::Probe probe = index.find(hash, same);
  if (probe.found) return static_cast<int32_t>(probe.id);
  add();
  return static_cast<int32_t>(index.insert(probe, hash));
}

// Builds the plan's tables of distinct names, params, descriptors and
// operators, each an index over the plan's own vector of them. Names and
// descriptors are the user's text, hashed under a key of this plan's own.
class Tables {
 public:
  explicit Tables(ExecutionPlan& plan) : plan_(plan), key_(HashKey::random()) {}

  int32_t name(std::string_view s) {
    if (auto r = recent_names_.find(s, [&](uint32_t at) -> std::string_view { return plan_.names[at]; })) {
      return static_cast<int32_t>(*r);
    }
    KeyedHasher h(key_);
    h.write_str(s);
    const int32_t index = find_or_add(names_, h.finish(), [&](uint64_t at) { return plan_.names[at] == s; },
                                      [&] { plan_.names.emplace_back(s); });
    recent_names_.remember(s, index);
    return index;
  }

  // By the digest the map carries, a keyed hash of its contents. Equal maps
  // in a store share a block, which identical() checks first.
  int32_t params(const ParamMap& p) {
    return find_or_add(params_, p.digest(), [&](uint64_t at) { return plan_.params[at].identical(p); },
                       [&] { plan_.params.push_back(p); });
  }

  int32_t op(NodeKind kind, int32_t name, int32_t params, int32_t descriptor) {
    const std::array<int32_t, 4> key{static_cast<int32_t>(kind), name, params, descriptor};
    return find_or_add(operators_, int_hash(key), [&](uint64_t at) { return plan_.operators[at] == key; },
                       [&] { plan_.operators.push_back(key); });
  }

  int32_t descriptor(const PayloadDescriptor& d) {
    KeyedHasher h(key_);
    for (const std::string* field : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
      h.write_str(*field);
    }
    h.write_u8(d.preprocessing_ref.has_value());
    if (d.preprocessing_ref) h.write_str(*d.preprocessing_ref);
    return find_or_add(descriptors_, h.finish(), [&](uint64_t at) { return plan_.descriptors[at] == d; },
                       [&] { plan_.descriptors.push_back(d); });
  }

  // Starts loading the slot a lookup of p begins at (p's block must be in cache already).
  void prefetch(const ParamMap& p) const { params_.prefetch(p.digest()); }

  const HashKey& key() const { return key_; }

 private:
  ExecutionPlan& plan_;
  const HashKey key_;
  TaggedIndex names_, params_, descriptors_, operators_;  // positions index the plan's vectors
  RecentTexts recent_names_;
};

// A member token's kind, name and params, parsed once per distinct token.
struct MemberOperator {
  uint8_t kind;
  int32_t name;
  int32_t params;
  int32_t op;
};

class StageMembers {
 public:
  StageMembers(ExecutionPlan& plan, Tables& tables) : plan_(plan), tables_(tables) {}

  std::optional<PlanError> add(NodeId id, const NodeKey& stage) {
    const std::span<const StageOp> members = stage.members();
    if (members.empty()) return invalid("node " + std::to_string(id) + ": a stage without members has no value");
    const uint64_t slots = stage.inputs().size();
    const size_t first = plan_.member_kinds.size();
    for (size_t k = 0; k < members.size(); ++k) {
      auto op = operator_of(members[k].token);
      if (!op) return invalid("unparseable stage member token " + display_str(members[k].token));
      plan_.member_kinds.push_back(op->kind);
      plan_.member_name_index.push_back(op->name);
      plan_.member_params_index.push_back(op->params);
      plan_.member_operator_index.push_back(op->op);
      plan_.member_last_use.push_back(-1);
      for (const StageRef& ref : members[k].inputs) {
        const bool member = ref.kind == StageRef::Kind::Member;
        if (member ? ref.value >= k : ref.value >= slots) {
          return invalid("node " + std::to_string(id) + ": member " + std::to_string(k) + " reads " +
                         (member ? "member " : "input ") + std::to_string(ref.value) +
                         ", which the stage does not have");
        }
        if (member) plan_.member_last_use[first + ref.value] = static_cast<int32_t>(k);
        plan_.refs.push_back(member ? static_cast<int32_t>(ref.value) : ~static_cast<int32_t>(ref.value));
      }
      plan_.ref_offsets.push_back(static_cast<int32_t>(plan_.refs.size()));
    }
    return std::nullopt;
  }

  // The operator of a stage just added, from member `first` on, when the stage is one member
  // that reads the stage's inputs in order: running it is calling that operator. Else -1.
  int32_t sole_operator(size_t first, size_t slots) const {
    if (plan_.member_kinds.size() != first + 1) return -1;
    const size_t lo = plan_.ref_offsets[first];
    if (plan_.ref_offsets[first + 1] - lo != slots) return -1;
    for (size_t k = 0; k < slots; ++k) {
      if (plan_.refs[lo + k] != ~static_cast<int32_t>(k)) return -1;
    }
    return plan_.member_operator_index[first];
  }

 private:
  std::optional<MemberOperator> operator_of(std::string_view token) {
    if (auto r = recent_.find(token, [&](uint32_t at) { return tokens_[at]; })) return operators_[*r];
    KeyedHasher h(tables_.key());
    h.write_str(token);
    const uint64_t hash = h.finish();
    seen_.reserve_one();
    const TaggedIndex::Probe probe = seen_.find(hash, [&](uint64_t at) { return tokens_[at] == token; });
    if (probe.found) {
      recent_.remember(token, probe.id);
      return operators_[probe.id];
    }
    std::optional<ParsedOpToken> parsed = parse_op_token(token);
    if (!parsed) return std::nullopt;
    const NodeKind kind = parsed->head == "op" ? NodeKind::Op : NodeKind::Reduction;
    const int32_t name = tables_.name(parsed->name);
    const int32_t params = tables_.params(parsed->params);
    MemberOperator op{static_cast<uint8_t>(kind), name, params, tables_.op(kind, name, params, -1)};
    tokens_.push_back(token);  // the token lives in the snapshot the plan is built from
    operators_.push_back(op);
    // No table grew since the probe: parsing adds to the others only.
    recent_.remember(token, seen_.insert(probe, hash));
    return op;
  }

  ExecutionPlan& plan_;
  Tables& tables_;
  TaggedIndex seen_;  // positions index tokens_ and operators_
  std::vector<std::string_view> tokens_;
  std::vector<MemberOperator> operators_;
  RecentTexts recent_;
};

// Numbers the distinct member structures of the stages that need their members run.
class StageShapes {
 public:
  explicit StageShapes(ExecutionPlan& plan) : plan_(plan) {}

  // The shape of step s, a stage whose members start at `first` and end the plan's members.
  int32_t of(size_t s, size_t first) {
    const size_t end = plan_.member_kinds.size();
    key_.clear();
    for (size_t m = first; m < end; ++m) {
      const int32_t lo = plan_.ref_offsets[m], hi = plan_.ref_offsets[m + 1];
      key_.push_back(plan_.member_operator_index[m]);
      key_.push_back(hi - lo);
      key_.insert(key_.end(), plan_.refs.begin() + lo, plan_.refs.begin() + hi);
    }
    const std::span<const int32_t> key(key_);
    const auto key_of = [&](uint64_t at) { return std::span(keys_).subspan(ends_[at], ends_[at + 1] - ends_[at]); };
    const int32_t shape = find_or_add(
        shapes_, int_hash(key), [&](uint64_t at) { return std::ranges::equal(key, key_of(at)); }, [&] {
          keys_.insert(keys_.end(), key.begin(), key.end());
          ends_.push_back(keys_.size());
          plan_.shape_first.push_back(static_cast<int32_t>(s));
          plan_.shape_uses.push_back(0);
        });
    ++plan_.shape_uses[shape];
    return shape;
  }

 private:
  ExecutionPlan& plan_;
  std::vector<int32_t> key_;
  TaggedIndex shapes_;
  std::vector<int32_t> keys_;       // the shapes' keys, one after another
  std::vector<size_t> ends_{0};     // shape k's key is keys_[ends_[k], ends_[k + 1])
};

std::optional<PlanError> too_large(const ExecutionPlan& plan) {
  for (size_t count : {plan.ids.size() + 1, plan.inputs.size(), plan.member_kinds.size() + 1, plan.refs.size()}) {
    if (count > kMaxIndex) return PlanError{PlanError::Kind::TooLarge, 0, "the plan has more than 2**31 - 1 entries"};
  }
  return std::nullopt;
}

}  // namespace

Result<ExecutionPlan, PlanError> build_execution_plan(const GraphStore& store,
                                                      std::optional<std::vector<NodeId>> outputs) {
  auto snapshot = store.snapshot_for(std::move(outputs));
  if (!snapshot) return Err(PlanError{PlanError::Kind::BadNodeId, snapshot.error().id, {}});
  const SharedNodes& nodes = snapshot.value().nodes;
  const std::vector<NodeId>& requested = snapshot.value().outputs;

  ExecutionPlan plan;
  NeededSet needed = mark_needed(nodes, requested);
  plan.ids = needed.ids();
  const size_t n = plan.ids.size();
  if (n > kMaxIndex - 1) return Err(PlanError{PlanError::Kind::TooLarge, 0, "the plan has more than 2**31 - 1 entries"});
  plan.kinds.reserve(n);
  plan.name_index.reserve(n);
  plan.params_index.reserve(n);
  plan.descriptor_index.reserve(n);
  plan.operator_index.reserve(n);
  plan.stage_shape.reserve(n);
  plan.input_offsets.reserve(n + 1);
  plan.member_offsets.reserve(n + 1);
  plan.last_use.assign(n, -1);
  plan.input_offsets.push_back(0);
  plan.member_offsets.push_back(0);
  plan.ref_offsets.push_back(0);

  Tables tables(plan);
  StageMembers members(plan, tables);
  StageShapes shapes(plan);
  // Distinct params lie at random in memory, and so do the slots their digests pick: each step's
  // block is loaded some steps ahead and its slot a few, so that the misses overlap.
  constexpr size_t kBlockAhead = 8, kSlotAhead = 4;
  for (size_t s = 0; s < n; ++s) {
    if (s + kBlockAhead < n) __builtin_prefetch(nodes[plan.ids[s + kBlockAhead]].params().block());
    if (s + kSlotAhead < n) tables.prefetch(nodes[plan.ids[s + kSlotAhead]].params());
    const NodeKey& key = nodes[plan.ids[s]];
    const NodeKind kind = key.kind();
    const int32_t name = tables.name(key.name());
    const int32_t params = tables.params(key.params());
    const int32_t descriptor = kind == NodeKind::External ? tables.descriptor(key.descriptor()) : -1;
    plan.kinds.push_back(static_cast<uint8_t>(kind));
    plan.name_index.push_back(name);
    plan.params_index.push_back(params);
    plan.descriptor_index.push_back(descriptor);
    plan.operator_index.push_back(kind == NodeKind::Stage ? -1 : tables.op(kind, name, params, descriptor));
    for (NodeId j : key.inputs()) {
      const int32_t step = needed.step_of(j);
      plan.inputs.push_back(step);
      plan.last_use[step] = static_cast<int32_t>(s);
    }
    if (key.kind() == NodeKind::Stage) {
      if (auto error = members.add(plan.ids[s], key)) return Err(std::move(*error));
      plan.operator_index.back() = members.sole_operator(plan.member_offsets.back(), key.inputs().size());
    }
    plan.stage_shape.push_back(plan.operator_index.back() < 0 ? shapes.of(s, plan.member_offsets.back()) : -1);
    if (auto error = too_large(plan)) return Err(std::move(*error));
    plan.input_offsets.push_back(static_cast<int32_t>(plan.inputs.size()));
    plan.member_offsets.push_back(static_cast<int32_t>(plan.member_kinds.size()));
  }
  plan.outputs.reserve(requested.size());
  for (NodeId o : requested) plan.outputs.push_back(needed.step_of(o));
  // The arrays that grew one stage or node at a time give their slack back.
  for (auto* grown : {&plan.inputs, &plan.refs, &plan.ref_offsets, &plan.member_name_index, &plan.member_params_index,
                      &plan.member_operator_index, &plan.member_last_use}) {
    grown->shrink_to_fit();
  }
  plan.member_kinds.shrink_to_fit();
  return plan;
}

}  // namespace trellan
