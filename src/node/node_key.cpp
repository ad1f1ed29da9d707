#include "node/node_key.hpp"

#include "common/panic.hpp"
#include "param/escape.hpp"

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
  return "?";
}

namespace {
const ParamMap kEmptyParams;
const IdList kNoInputs;

}  // namespace

NodeKey NodeKey::source(std::string name, ParamMap params) {
  NodeKey key;
  key.kind_ = NodeKind::Source;
  key.v_ = Named{std::move(name), std::move(params), IdList()};
  return key;
}
NodeKey NodeKey::op(std::string name, ParamMap params, IdList inputs) {
  NodeKey key;
  key.kind_ = NodeKind::Op;
  key.v_ = Named{std::move(name), std::move(params), std::move(inputs)};
  return key;
}
NodeKey NodeKey::reduction(std::string name, ParamMap params, IdList inputs) {
  NodeKey key;
  key.kind_ = NodeKind::Reduction;
  key.v_ = Named{std::move(name), std::move(params), std::move(inputs)};
  return key;
}
NodeKey NodeKey::external(PayloadDescriptor descriptor, ParamMap params, IdList inputs) {
  NodeKey key;
  key.kind_ = NodeKind::External;
  key.v_ = External{std::make_shared<const PayloadDescriptor>(std::move(descriptor)),
                    std::move(params), std::move(inputs)};
  return key;
}
NodeKey NodeKey::stage(IdList inputs, std::vector<StageOp> members) {
  NodeKey key;
  key.kind_ = NodeKind::Stage;
  key.v_ = Stage{std::move(inputs), std::make_shared<const std::vector<StageOp>>(std::move(members))};
  return key;
}
NodeKey NodeKey::exchange(ParamMap params, IdList inputs) {
  NodeKey key;
  key.kind_ = NodeKind::Exchange;
  key.v_ = Boundary{std::move(params), std::move(inputs)};
  return key;
}
NodeKey NodeKey::join(ParamMap params, IdList inputs) {
  NodeKey key;
  key.kind_ = NodeKind::Join;
  key.v_ = Boundary{std::move(params), std::move(inputs)};
  return key;
}

std::span<const NodeId> NodeKey::inputs() const {
  switch (v_.index()) {
    case 0: return kind_ == NodeKind::Source ? kNoInputs.span() : std::get<0>(v_).inputs.span();
    case 1: return std::get<1>(v_).inputs.span();
    case 2: return std::get<2>(v_).inputs.span();
    default: return std::get<3>(v_).inputs.span();
  }
}

std::string_view NodeKey::name() const {
  if (v_.index() == 0) return std::get<0>(v_).name;
  return {};
}

const ParamMap& NodeKey::params() const {
  switch (v_.index()) {
    case 0: return std::get<0>(v_).params;
    case 1: return std::get<1>(v_).params;
    case 2: return kEmptyParams;
    default: return std::get<3>(v_).params;
  }
}

const PayloadDescriptor& NodeKey::descriptor() const {
  if (v_.index() != 1) panic("descriptor of a node that is not external");
  return *std::get<1>(v_).descriptor;
}

const std::vector<StageOp>& NodeKey::members() const {
  if (v_.index() != 2) panic("members of a node that is not a stage");
  return *std::get<2>(v_).members;
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
    default: return "";
  }
}

const char* label_head(NodeKind k) {
  switch (k) {
    case NodeKind::Source: return "Source ";
    case NodeKind::Op: return "Op ";
    case NodeKind::Reduction: return "Reduction ";
    default: return "";
  }
}

}  // namespace

std::string NodeKey::token() const {
  std::string out;
  switch (kind_) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: {
      const auto& n = std::get<0>(v_);
      out.reserve(8 + n.name.size());
      out += token_head(kind_);
      append_escaped(out, n.name);
      append_params(out, n.params);
      return out;
    }
    case NodeKind::External: {
      const auto& e = std::get<1>(v_);
      const auto& d = *e.descriptor;
      out = "ext|" + d.kind + "|" + d.content_hash + "|" + d.framework + "|" + d.version + "|" +
            d.io_schema + "|" + (d.preprocessing_ref ? *d.preprocessing_ref : std::string("-"));
      append_params(out, e.params);
      return out;
    }
    case NodeKind::Stage:
      return "stage|" + std::to_string(std::get<2>(v_).members->size());
    case NodeKind::Exchange:
      out = "exch";
      append_params(out, std::get<3>(v_).params);
      return out;
    case NodeKind::Join:
      out = "join";
      append_params(out, std::get<3>(v_).params);
      return out;
  }
  return out;
}

std::string NodeKey::operator_text() const {
  if (kind_ == NodeKind::External) {
    const auto& e = std::get<1>(v_);
    const auto& d = *e.descriptor;
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
    append_params(out, e.params);
    return out;
  }
  if (kind_ == NodeKind::Stage) {
    const auto& members = *std::get<2>(v_).members;
    std::string out = "stage|" + std::to_string(members.size()) + "|";
    for (size_t m = 0; m < members.size(); ++m) {
      if (m) out += ';';
      append_escaped(out, members[m].token);
      out += '=';
      for (size_t r = 0; r < members[m].inputs.size(); ++r) {
        const StageRef& ref = members[m].inputs[r];
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
  const ParamMap* params = &kEmptyParams;
  switch (kind_) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: {
      const auto& n = std::get<0>(v_);
      out = label_head(kind_) + n.name;
      params = &n.params;
      break;
    }
    case NodeKind::External: {
      const auto& e = std::get<1>(v_);
      const auto& d = *e.descriptor;
      out = "External " + d.kind + ":" + d.content_hash + " [" + d.framework + " " + d.version + "]";
      params = &e.params;
      break;
    }
    case NodeKind::Stage:
      return "Stage[" + std::to_string(std::get<2>(v_).members->size()) + " members]";
    case NodeKind::Exchange:
      out = "Exchange";
      params = &std::get<3>(v_).params;
      break;
    case NodeKind::Join:
      out = "Join";
      params = &std::get<3>(v_).params;
      break;
  }
  if (!params->empty()) {
    out += ' ';
    out += params->display();
  }
  return out;
}

NodeKey NodeKey::with_inputs(IdList inputs) const {
  NodeKey key = *this;
  switch (key.v_.index()) {
    case 0:
      if (kind_ != NodeKind::Source) std::get<0>(key.v_).inputs = std::move(inputs);
      break;
    case 1: std::get<1>(key.v_).inputs = std::move(inputs); break;
    case 2: std::get<2>(key.v_).inputs = std::move(inputs); break;
    default: std::get<3>(key.v_).inputs = std::move(inputs); break;
  }
  return key;
}

namespace {
void hash_inputs(KeyedHasher& h, std::span<const NodeId> ids) {
  h.write_u64(ids.size());
  for (NodeId id : ids) h.write_u64(id);
}
}  // namespace

void NodeKey::hash(KeyedHasher& h) const {
  h.write_u8(static_cast<uint8_t>(kind_));
  switch (kind_) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction: {
      const auto& n = std::get<0>(v_);
      h.write_str(n.name);
      n.params.hash(h);
      if (kind_ != NodeKind::Source) hash_inputs(h, n.inputs.span());
      return;
    }
    case NodeKind::External: {
      const auto& e = std::get<1>(v_);
      const auto& d = *e.descriptor;
      h.write_str(d.kind);
      h.write_str(d.content_hash);
      h.write_str(d.framework);
      h.write_str(d.version);
      h.write_str(d.io_schema);
      h.write_u8(d.preprocessing_ref ? 1 : 0);
      if (d.preprocessing_ref) h.write_str(*d.preprocessing_ref);
      e.params.hash(h);
      hash_inputs(h, e.inputs.span());
      return;
    }
    case NodeKind::Stage: {
      const auto& s = std::get<2>(v_);
      hash_inputs(h, s.inputs.span());
      h.write_u64(s.members->size());
      for (const StageOp& m : *s.members) {
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
    case NodeKind::Join: {
      const auto& b = std::get<3>(v_);
      b.params.hash(h);
      hash_inputs(h, b.inputs.span());
      return;
    }
  }
}

bool NodeKey::operator==(const NodeKey& o) const {
  if (kind_ != o.kind_) return false;
  switch (v_.index()) {
    case 0: {
      const auto& a = std::get<0>(v_);
      const auto& b = std::get<0>(o.v_);
      return a.name == b.name && a.inputs == b.inputs && a.params == b.params;
    }
    case 1: {
      const auto& a = std::get<1>(v_);
      const auto& b = std::get<1>(o.v_);
      return a.inputs == b.inputs && (a.descriptor == b.descriptor || *a.descriptor == *b.descriptor) &&
             a.params == b.params;
    }
    case 2: {
      const auto& a = std::get<2>(v_);
      const auto& b = std::get<2>(o.v_);
      return a.inputs == b.inputs && (a.members == b.members || *a.members == *b.members);
    }
    default: {
      const auto& a = std::get<3>(v_);
      const auto& b = std::get<3>(o.v_);
      return a.inputs == b.inputs && a.params == b.params;
    }
  }
}

std::string with_params(std::string_view head, const ParamMap& params) {
  std::string out(head);
  append_params(out, params);
  return out;
}

}  // namespace trellan
