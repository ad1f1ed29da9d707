#include "node/node_key.hpp"

#include "common/panic.hpp"
#include "param/escape.hpp"
#include "param/param_pool.hpp"

namespace trellan {

const char* kind_name(NodeKind k) {
  switch (k) {
    case NodeKind::Source: return "source";
    case NodeKind::Op: return "op";
    case NodeKind::Reduction: return "reduction";
    case NodeKind::External: return "external";
    case NodeKind::Stage: return "stage";
    case NodeKind::Exchange: return "exchange";
    case NodeKind::Join: return "join";
  }
  return "?";  // LCOV_EXCL_LINE: every kind returns above
}

NodeKey NodeKey::source(std::string_view name, ParamMap params) {
  NodeKey key;  // no inputs
  key.params_ = std::move(params);
  key.v_.emplace<0>(Named<NodeKind::Source>{CompactName(name)});
  return key;
}
NodeKey NodeKey::op(std::string_view name, ParamMap params, IdList inputs) {
  return make<1>(std::move(inputs), std::move(params), Named<NodeKind::Op>{CompactName(name)});
}
NodeKey NodeKey::reduction(std::string_view name, ParamMap params, IdList inputs) {
  return make<2>(std::move(inputs), std::move(params), Named<NodeKind::Reduction>{CompactName(name)});
}
NodeKey NodeKey::external(PayloadDescriptor descriptor, ParamMap params, IdList inputs) {
  return make<3>(std::move(inputs), std::move(params),
                 Ext{std::make_shared<const PayloadDescriptor>(std::move(descriptor))});
}
NodeKey NodeKey::stage(IdList inputs, std::vector<StageOp> members) {
  if (members.size() > UINT32_MAX) throw std::length_error("stage with too many members");
  auto block = std::make_shared<const std::vector<StageOp>>(std::move(members));
  const auto count = static_cast<uint32_t>(block->size());
  return stage(std::move(inputs), std::shared_ptr<const StageOp>(block, block->data()), count);
}
NodeKey NodeKey::stage(IdList inputs, std::shared_ptr<const StageOp> first, uint32_t count) {
  return make<4>(std::move(inputs), ParamMap(), Stg{std::move(first), count});
}
NodeKey NodeKey::exchange(ParamMap params, IdList inputs) { return make<5>(std::move(inputs), std::move(params)); }
NodeKey NodeKey::join(ParamMap params, IdList inputs) { return make<6>(std::move(inputs), std::move(params)); }

const PayloadDescriptor& NodeKey::descriptor() const {
  const auto* e = std::get_if<3>(&v_);
  if (!e) panic("descriptor of a node that is not external");
  return *e->descriptor;
}

std::span<const StageOp> NodeKey::members() const {
  const auto* st = std::get_if<4>(&v_);
  if (!st) panic("members of a node that is not a stage");
  return {st->first.get(), st->count};
}

void NodeKey::share_params(ParamPool& pool) {
  if (params_.empty()) return;
  const ParamMap& pooled = pool.share(params_);
  if (!pooled.same_block(params_)) params_ = pooled;
}

namespace {

void append_params(std::string& out, const ParamMap& params) {
  if (params.empty()) return;
  out += '|';
  params.append_token(out);
}

const char* token_head(NodeKind k) {
  switch (k) {
    case NodeKind::Source: return "src|";
    case NodeKind::Op: return "op|";
    case NodeKind::Reduction: return "red|";
    default: return "";  // LCOV_EXCL_LINE: called for these three kinds only
  }
}

const char* label_head(NodeKind k) {
  switch (k) {
    case NodeKind::Source: return "Source ";
    case NodeKind::Op: return "Op ";
    case NodeKind::Reduction: return "Reduction ";
    default: return "";  // LCOV_EXCL_LINE: called for these three kinds only
  }
}

}  // namespace

std::string NodeKey::token() const {
  std::string out;
  switch (kind()) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: {
      const std::string_view name = name_field()->view();
      out.reserve(8 + name.size());
      out += token_head(kind());
      append_escaped(out, name);
      append_params(out, params_);
      return out;
    }
    case NodeKind::External: {
      const auto& d = descriptor();
      out = "ext|" + d.kind + "|" + d.content_hash + "|" + d.framework + "|" + d.version + "|" +
            d.io_schema + "|" + (d.preprocessing_ref ? *d.preprocessing_ref : std::string("-"));
      append_params(out, params_);
      return out;
    }
    case NodeKind::Stage:
      return "stage|" + std::to_string(members().size());
    case NodeKind::Exchange:
      out = "exch";
      append_params(out, params_);
      return out;
    case NodeKind::Join:
      out = "join";
      append_params(out, params_);
      return out;
  }
  return out;  // LCOV_EXCL_LINE: every kind returns above
}

std::string NodeKey::operator_text() const {
  if (kind() == NodeKind::External) {
    const auto& d = descriptor();
    std::string out = "ext|";
    for (const std::string* field : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
      append_escaped(out, *field);
      out += '|';
    }
    // Escaped fields never hold a raw "=", so "=" marks a present ref.
    if (d.preprocessing_ref) {
      out += '=';
      append_escaped(out, *d.preprocessing_ref);
    } else {
      out += '-';
    }
    append_params(out, params_);
    return out;
  }
  if (kind() == NodeKind::Stage) {
    const auto& ms = members();
    std::string out = "stage|" + std::to_string(ms.size()) + "|";
    for (size_t m = 0; m < ms.size(); ++m) {
      if (m) out += ';';
      append_escaped(out, ms[m].token);
      out += '=';
      for (size_t r = 0; r < ms[m].inputs.size(); ++r) {
        const StageRef& ref = ms[m].inputs[r];
        if (r) out += ',';
        out += ref.kind == StageRef::Kind::Input ? 'i' : 'm';
        out += std::to_string(ref.value);
      }
    }
    return out;
  }
  return token();
}

std::string NodeKey::label() const {
  std::string out;
  switch (kind()) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      out = label_head(kind());
      out += name_field()->view();
      break;
    case NodeKind::External: {
      const auto& d = descriptor();
      out = "External " + d.kind + ":" + d.content_hash + " [" + d.framework + " " + d.version + "]";
      break;
    }
    case NodeKind::Stage:
      return "Stage[" + std::to_string(members().size()) + " members]";
    case NodeKind::Exchange:
      out = "Exchange";
      break;
    case NodeKind::Join:
      out = "Join";
      break;
  }
  if (!params_.empty()) {
    out += ' ';
    out += params_.display();
  }
  return out;
}

NodeKey NodeKey::with_inputs(IdList inputs) const {
  // A stage taken into another graph gets a block of its own, so that it
  // does not keep alive the members of every stage of the graph it left.
  if (kind() == NodeKind::Stage) {
    const std::span<const StageOp> ms = members();
    return stage(std::move(inputs), std::vector<StageOp>(ms.begin(), ms.end()));
  }
  NodeKey key = *this;
  if (kind() != NodeKind::Source) key.inputs_ = std::move(inputs);
  return key;
}

void NodeKey::hash_inputs(KeyedHasher& h, std::span<const NodeId> ids) {
  h.write_u64(ids.size());
  for (NodeId id : ids) h.write_u64(id);
}

void NodeKey::hash(KeyedHasher& h) const { hash(h, inputs()); }

bool NodeKey::hash_named_fields(KeyedHasher& h) const {
  const CompactName* name = name_field();
  if (name == nullptr) return false;
  h.write_u8(static_cast<uint8_t>(kind()));
  h.write_str(name->view());
  h.write_u64(params_.digest());
  return true;
}

void NodeKey::hash(KeyedHasher& h, std::span<const NodeId> inputs) const {
  if (hash_named_fields(h)) {
    if (kind() != NodeKind::Source) hash_inputs(h, inputs);
    return;
  }
  h.write_u8(static_cast<uint8_t>(kind()));
  switch (kind()) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      return;  // LCOV_EXCL_LINE: hashed above
    case NodeKind::External: {
      const auto& d = descriptor();
      h.write_str(d.kind);
      h.write_str(d.content_hash);
      h.write_str(d.framework);
      h.write_str(d.version);
      h.write_str(d.io_schema);
      h.write_u8(d.preprocessing_ref ? 1 : 0);
      if (d.preprocessing_ref) h.write_str(*d.preprocessing_ref);
      h.write_u64(params_.digest());
      hash_inputs(h, inputs);
      return;
    }
    case NodeKind::Stage: {
      const auto& ms = members();
      hash_inputs(h, inputs);
      h.write_u64(ms.size());
      for (const StageOp& m : ms) {
        h.write_str(m.token);
        h.write_u64(m.inputs.size());
        for (const StageRef& r : m.inputs) {
          h.write_u8(static_cast<uint8_t>(r.kind));
          h.write_u64(r.value);
        }
      }
      return;
    }
    case NodeKind::Exchange:
    case NodeKind::Join:
      h.write_u64(params_.digest());
      hash_inputs(h, inputs);
      return;
  }
}

// Cheapest fields first: a probe that meets another key mostly fails at once.
bool NodeKey::operator==(const NodeKey& o) const {
  return inputs_ == o.inputs_ && same_but_inputs(o);
}

bool NodeKey::same_but_inputs(const NodeKey& o) const {
  if (v_.index() != o.v_.index()) return false;
  switch (kind()) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      if (!(*name_field() == *o.name_field())) return false;
      break;
    case NodeKind::External: {
      const auto& a = std::get<3>(v_).descriptor;
      const auto& b = std::get<3>(o.v_).descriptor;
      if (a != b && !(*a == *b)) return false;
      break;
    }
    case NodeKind::Stage: {
      const Stg& a = std::get<4>(v_);
      const Stg& b = std::get<4>(o.v_);
      return (a.first == b.first && a.count == b.count) || std::ranges::equal(members(), o.members());
    }
    case NodeKind::Exchange:
    case NodeKind::Join:
      break;
  }
  return params_ == o.params_;
}

}  // namespace trellan

namespace trellan {
// A store holds millions of keys: keep one within a cache line.
static_assert(sizeof(NodeKey) <= 64, "a node key grew past 64 bytes");
}  // namespace trellan
