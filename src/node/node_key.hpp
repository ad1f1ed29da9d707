// Node keys: the complete structural identity of one IR node (kind, fields,
// params, ordered inputs), with its token (operator identity without inputs),
// its display label and input re-targeting.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/variant_copy.hpp"
#include "node/compact_name.hpp"
#include "node/id_list.hpp"
#include "node/shared_text.hpp"
#include "param/param.hpp"

namespace trellan {

struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent differs from empty
  bool operator==(const PayloadDescriptor&) const = default;
};

struct StageRef {
  enum class Kind : uint8_t { Input = 0, Member = 1 };
  Kind kind;
  uint64_t value;  // input slot of the stage, or index of an earlier member
  static StageRef input(uint64_t slot) { return {Kind::Input, slot}; }
  static StageRef member(uint64_t index) { return {Kind::Member, index}; }
  bool operator==(const StageRef&) const = default;
};

// The references of one stage member, in order. Nearly every member reads one
// or two values, so up to two are kept inline: a reduced graph holds one list
// per fused op, and a heap block for each would cost more than the list.
class StageRefs {
 public:
  StageRefs() = default;
  StageRefs(std::initializer_list<StageRef> refs) {
    reserve(refs.size());
    for (const StageRef& r : refs) push_back(r);
  }
  StageRefs(const StageRefs& o) {
    reserve(o.size_);
    std::copy(o.begin(), o.end(), data());
    size_ = o.size_;
  }
  StageRefs(StageRefs&& o) noexcept { steal(o); }
  StageRefs& operator=(const StageRefs& o) {
    if (this != &o) {
      StageRefs copy(o);
      release();
      steal(copy);
    }
    return *this;
  }
  StageRefs& operator=(StageRefs&& o) noexcept {
    if (this != &o) {
      release();
      steal(o);
    }
    return *this;
  }
  ~StageRefs() { release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const StageRef* data() const { return cap_ > kInline ? u_.heap : u_.inline_refs; }
  const StageRef* begin() const { return data(); }
  const StageRef* end() const { return data() + size_; }
  const StageRef& operator[](size_t i) const { return data()[i]; }
  void reserve(size_t n) {
    if (n <= cap_) return;
    if (n > UINT32_MAX) throw std::length_error("too many stage references");
    StageRef* grown = new StageRef[n];
    std::copy(begin(), end(), grown);
    const uint32_t count = size_;
    release();
    u_.heap = grown;
    cap_ = static_cast<uint32_t>(n);
    size_ = count;
  }
  void push_back(StageRef r) {
    if (size_ == cap_) reserve(2 * cap_);
    data()[size_++] = r;
  }
  bool operator==(const StageRefs& o) const { return size_ == o.size_ && std::equal(begin(), end(), o.begin()); }

 private:
  static constexpr uint32_t kInline = 2;
  StageRef* data() { return cap_ > kInline ? u_.heap : u_.inline_refs; }
  void release() {
    if (cap_ > kInline) delete[] u_.heap;
    cap_ = kInline;
    size_ = 0;
  }
  void steal(StageRefs& o) {
    size_ = o.size_;
    cap_ = o.cap_;
    std::memcpy(&u_, &o.u_, sizeof u_);
    o.cap_ = kInline;
    o.size_ = 0;
  }

  uint32_t size_ = 0;
  uint32_t cap_ = kInline;
  union U {
    StageRef inline_refs[kInline];
    StageRef* heap;
  } u_{};
};

struct StageOp {
  SharedText token;  // op token of the node this member stands for
  StageRefs inputs;
  bool operator==(const StageOp&) const = default;
};

enum class NodeKind : uint8_t {
  Source = 0, Op = 1, Reduction = 2, External = 3, Stage = 4, Exchange = 5, Join = 6,
};
// "source", "op", ... as the node view reports kinds.
const char* kind_name(NodeKind k);

class ParamPool;

class NodeKey {
 public:
  NodeKey() = default;
  // Copying goes through copy_variant, so a failed name copy is bad_alloc.
  NodeKey(const NodeKey& o) : inputs_(o.inputs_), params_(o.params_), v_(copy_variant(o.v_)) {}
  // A copy of `like` but for its inputs, which become `inputs` (a Source
  // keeps none): builds like.with_inputs(inputs) in place. An op, the kind a
  // batch records most, has its name copied without the general variant copy.
  NodeKey(const NodeKey& like, std::span<const NodeId> inputs)
      : inputs_(like.kind() == NodeKind::Source ? IdList() : IdList(inputs)),
        params_(like.params_),
        v_(like.is_op() ? Fields(std::in_place_index<1>, *std::get_if<1>(&like.v_)) : copy_variant(like.v_)) {}
  NodeKey(NodeKey&&) = default;
  NodeKey& operator=(const NodeKey&) = default;
  NodeKey& operator=(NodeKey&&) = default;

  static NodeKey source(std::string_view name, ParamMap params);
  static NodeKey op(std::string_view name, ParamMap params, IdList inputs);
  static NodeKey reduction(std::string_view name, ParamMap params, IdList inputs);
  static NodeKey external(PayloadDescriptor descriptor, ParamMap params, IdList inputs);
  static NodeKey stage(IdList inputs, std::vector<StageOp> members);
  // A stage whose count members start at first, which keeps alive whatever
  // holds them: a reduction puts the members of all its stages in one block.
  static NodeKey stage(IdList inputs, std::shared_ptr<const StageOp> first, uint32_t count);
  static NodeKey exchange(ParamMap params, IdList inputs);
  static NodeKey join(ParamMap params, IdList inputs);

  NodeKind kind() const { return static_cast<NodeKind>(v_.index()); }
  bool is_op() const { return kind() == NodeKind::Op; }
  // Inputs of the node (empty for a Source).
  std::span<const NodeId> inputs() const { return inputs_.span(); }
  // Name of a Source, Op or Reduction; empty otherwise.
  std::string_view name() const {
    const CompactName* name = name_field();
    return name ? name->view() : std::string_view();
  }
  // Params of every kind but Stage (empty for a Stage).
  const ParamMap& params() const { return params_; }
  const PayloadDescriptor& descriptor() const;          // External only
  std::span<const StageOp> members() const;              // Stage only

  // The operator identity without inputs: "src|", "op|" or "red|" and the
  // escaped name, "exch" or "join", each with its params; "ext|" and the six
  // descriptor fields as written, or "stage|" and the member count.
  std::string token() const;
  // Operator identity used by the optimizer: equal to token() for every kind
  // whose token is already injective (source, op, reduction, exchange, join);
  // for External it escapes the descriptor fields and tells an absent
  // preprocessing_ref from a present "-", and for Stage it spells out the
  // members, so distinct nodes never share an operator text.
  std::string operator_text() const;
  std::string label() const;
  NodeKey with_inputs(IdList inputs) const;
  // Makes the params the pool's identical map; the key stays equal. For a key
  // that is being stored, before anyone else sees it.
  void share_params(ParamPool& pool);

  void hash(KeyedHasher& h) const;
  // The hash of with_inputs(inputs), without building that key.
  void hash(KeyedHasher& h, std::span<const NodeId> inputs) const;
  // For a Source, Op or Reduction: writes what hash(h, inputs) writes before
  // the inputs and returns true; for an Op or Reduction, hash_inputs then
  // completes the hash. Other kinds write nothing and return false.
  bool hash_named_fields(KeyedHasher& h) const;
  static void hash_inputs(KeyedHasher& h, std::span<const NodeId> inputs);
  bool operator==(const NodeKey& o) const;
  // Equal in everything but the inputs: o == with_inputs(o's inputs) would
  // hold for this key.
  bool same_but_inputs(const NodeKey& o) const;

 private:
  // One alternative per kind, in NodeKind order, so that the variant's index
  // is the kind and a key needs no field of its own for it (a key is 64 bytes).
  // They are types of our own also because a variant whose alternatives are
  // all library types that libstdc++ deems never valueless skips its validity
  // check when a copy throws, and then destroys an alternative it never built.
  template <NodeKind K>
  struct Named {
    CompactName name;
  };
  struct Ext {
    std::shared_ptr<const PayloadDescriptor> descriptor;
  };
  struct Stg {
    std::shared_ptr<const StageOp> first;  // shares ownership of the block the members are in
    uint32_t count = 0;
  };
  template <NodeKind K>
  struct Bare {};
  using Fields = std::variant<Named<NodeKind::Source>, Named<NodeKind::Op>, Named<NodeKind::Reduction>, Ext,
                              Stg, Bare<NodeKind::Exchange>, Bare<NodeKind::Join>>;

  // A key of the kind at index I of Fields, made from that kind's fields.
  template <size_t I, class... F>
  static NodeKey make(IdList inputs, ParamMap params, F&&... fields) {
    NodeKey key;
    key.inputs_ = std::move(inputs);
    key.params_ = std::move(params);
    key.v_.template emplace<I>(std::forward<F>(fields)...);
    return key;
  }

  // The name of a Source, Op or Reduction; null for the other kinds.
  const CompactName* name_field() const {
    switch (v_.index()) {
      case 0: return &std::get<0>(v_).name;
      case 1: return &std::get<1>(v_).name;
      case 2: return &std::get<2>(v_).name;
      default: return nullptr;
    }
  }

  IdList inputs_;      // always empty for a Source
  ParamMap params_;    // always empty for a Stage
  Fields v_;           // the kind, and its own fields
};

struct ParsedOpToken {
  std::string head;  // "op" or "red"
  std::string name;
  ParamMap params;
};
// Reads an op or reduction token back; nothing when it is not well formed.
std::optional<ParsedOpToken> parse_op_token(std::string_view text);

}  // namespace trellan
