#include "egraph/pattern.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace egraph {
namespace {

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r'; }
bool is_delimiter(char c) { return is_space(c) || c == '(' || c == ')'; }
bool is_var_text(std::string_view atom) { return atom.size() >= 2 && atom[0] == '?'; }

// Splits pattern text into "(", ")" and atoms.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}
  // The next token, or an empty view at the end.
  std::string_view next() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
    if (pos_ == text_.size()) return {};
    size_t start = pos_;
    if (text_[pos_] == '(' || text_[pos_] == ')') {
      ++pos_;
    } else {
      while (pos_ < text_.size() && !is_delimiter(text_[pos_])) ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

support::Result<Pattern, ParseError> fail(ParseErrorKind kind, std::string_view text) {
  return support::Err(ParseError{kind, std::string(text)});
}

// Exactly one expression with balanced parentheses.
bool well_formed(std::string_view text) {
  Lexer lex(text);
  size_t depth = 0, items = 0;
  for (std::string_view tok = lex.next(); !tok.empty(); tok = lex.next()) {
    if (depth == 0) ++items;
    if (tok == "(") {
      ++depth;
    } else if (tok == ")") {
      if (depth == 0) return false;
      --depth;
    }
  }
  return depth == 0 && items == 1;
}

}  // namespace

std::string ParseError::message() const {
  switch (kind) {
    case ParseErrorKind::BadSexp: return "not a single well-formed s-expression: " + text;
    case ParseErrorKind::EmptySexp: return "empty list in pattern: " + text;
    case ParseErrorKind::HeadList: return "list at the head of a list in pattern: " + text;
    case ParseErrorKind::BadOp: return "variable " + text + " cannot take children";
    case ParseErrorKind::BadVar: return "not a variable: " + text;
  }
  return text;
}

support::Result<Var, ParseError> parse_var(std::string_view text, SymbolTable& symbols) {
  if (!is_var_text(text) || text.find_first_of(" \n\r()") != std::string_view::npos) {
    return support::Err(ParseError{ParseErrorKind::BadVar, std::string(text)});
  }
  return Var{symbols.intern(text)};
}

// One pass with an explicit stack of open lists; each list becomes a node
// when it closes, so children always precede their parent.
support::Result<Pattern, ParseError> Pattern::parse(std::string_view text, SymbolTable& symbols) {
  if (!well_formed(text)) return fail(ParseErrorKind::BadSexp, text);
  struct Open {
    std::string_view head;  // empty until the head atom is read
    std::vector<Id> children;
  };
  std::vector<Open> open;
  std::vector<PatternNode> nodes;
  auto emit = [&](PatternNode node) {
    nodes.push_back(std::move(node));
    Id index = static_cast<Id>(nodes.size() - 1);
    if (!open.empty()) open.back().children.push_back(index);
  };
  auto atom_node = [&](std::string_view atom) -> PatternNode {
    if (is_var_text(atom)) return Var{symbols.intern(atom)};
    return ENode(symbols.intern(atom));
  };

  Lexer lex(text);
  for (std::string_view tok = lex.next(); !tok.empty(); tok = lex.next()) {
    if (tok == "(") {
      if (!open.empty() && open.back().head.empty()) return fail(ParseErrorKind::HeadList, text);
      open.emplace_back();
    } else if (tok == ")") {
      Open list = std::move(open.back());
      open.pop_back();
      if (list.head.empty()) return fail(ParseErrorKind::EmptySexp, text);
      if (is_var_text(list.head)) {
        if (!list.children.empty()) return fail(ParseErrorKind::BadOp, list.head);
        emit(Var{symbols.intern(list.head)});
      } else {
        emit(ENode(symbols.intern(list.head), list.children));
      }
    } else if (!open.empty() && open.back().head.empty()) {
      open.back().head = tok;
    } else {
      emit(atom_node(tok));
    }
  }
  return Pattern(std::move(nodes));
}

Pattern::Pattern(std::vector<PatternNode> nodes) : nodes_(std::move(nodes)) {
  if (nodes_.empty()) throw std::invalid_argument("a pattern needs at least one node");
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (const Var* v = std::get_if<Var>(&nodes_[i])) {
      if (std::find(vars_.begin(), vars_.end(), *v) == vars_.end()) vars_.push_back(*v);
      continue;
    }
    for (Id c : std::get<ENode>(nodes_[i]).children()) {
      if (c >= i) throw std::invalid_argument("pattern child must precede its parent");
    }
  }
  compile();
}

// Breadth-first from the root: each e-node pattern becomes a Bind that picks
// an e-node of the class in its register and loads the children into fresh
// registers. A repeated variable becomes a Compare, a subterm without
// variables a CheckGround against the class `lookup` finds for it.
void Pattern::compile() {
  std::vector<bool> ground(nodes_.size(), false);
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (const ENode* n = std::get_if<ENode>(&nodes_[i])) {
      bool all = true;
      for (Id c : n->children()) all = all && ground[c];
      ground[i] = all;
    }
  }
  constexpr uint32_t kUnset = 0xFFFFFFFFu;
  var_reg_.assign(vars_.size(), kUnset);
  auto var_index = [&](Var v) {
    return static_cast<size_t>(std::find(vars_.begin(), vars_.end(), v) - vars_.begin());
  };

  uint32_t root = static_cast<uint32_t>(nodes_.size() - 1);
  if (const Var* v = std::get_if<Var>(&nodes_[root])) {
    var_reg_[var_index(*v)] = 0;
    return;
  }
  const ENode& root_node = std::get<ENode>(nodes_[root]);
  flat_ = vars_.size() == root_node.arity();
  flat_child_.assign(vars_.size(), 0);
  for (size_t k = 0; k < root_node.arity() && flat_; ++k) {
    const Var* v = std::get_if<Var>(&nodes_[root_node.children()[k]]);
    if (v == nullptr) {
      flat_ = false;
    } else {
      flat_child_[var_index(*v)] = static_cast<uint32_t>(k);
    }
  }
  // Distinct variables, one per child: vars_ has exactly `arity` entries, so
  // a repeated variable would leave one of them unbound.
  if (flat_) {
    std::vector<bool> seen(root_node.arity(), false);
    for (uint32_t k : flat_child_) {
      flat_ = flat_ && !seen[k];
      seen[k] = true;
    }
  }
  std::vector<std::pair<uint32_t, uint32_t>> queue{{root, 0}};  // (pattern node, register)
  for (size_t qi = 0; qi < queue.size(); ++qi) {
    auto [p, reg] = queue[qi];
    const ENode& pn = std::get<ENode>(nodes_[p]);
    uint32_t out = registers_;
    registers_ += static_cast<uint32_t>(pn.arity());
    program_.push_back({Instr::kBind, reg, pn.op(), static_cast<uint32_t>(pn.arity()), out});
    for (size_t k = 0; k < pn.arity(); ++k) {
      uint32_t q = pn.children()[k];
      uint32_t child_reg = out + static_cast<uint32_t>(k);
      if (const Var* v = std::get_if<Var>(&nodes_[q])) {
        uint32_t& first = var_reg_[var_index(*v)];
        if (first == kUnset) {
          first = child_reg;
        } else {
          program_.push_back({Instr::kCompare, first, Symbol(), 0, child_reg});
        }
      } else if (ground[q]) {
        ground_.push_back(q);
        program_.push_back({Instr::kCheckGround, child_reg, Symbol(), 0, static_cast<uint32_t>(ground_.size() - 1)});
      } else {
        queue.emplace_back(q, child_reg);
      }
    }
  }
}

Pattern Pattern::with_symbols(std::span<const Symbol> map) const {
  std::vector<PatternNode> nodes = nodes_;
  for (PatternNode& node : nodes) {
    if (ENode* n = std::get_if<ENode>(&node)) *n = ENode(map[n->op().number()], n->children());
  }
  return Pattern(std::move(nodes));
}

std::string Pattern::to_string(const SymbolTable& symbols) const {
  std::vector<std::string> text(nodes_.size());
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (const Var* v = std::get_if<Var>(&nodes_[i])) {
      text[i] = std::string(symbols.str(v->name));
      continue;
    }
    const ENode& n = std::get<ENode>(nodes_[i]);
    if (n.arity() == 0) {
      text[i] = std::string(symbols.str(n.op()));
      continue;
    }
    std::string s(1, '(');
    s += symbols.str(n.op());
    for (Id c : n.children()) {
      s += ' ';
      s += text[c];
    }
    s += ')';
    text[i] = std::move(s);
  }
  return text.back();
}

void Subst::insert(Var var, Id id) {
  Binding* data = n_ <= kInline ? inline_ : heap_;
  for (uint32_t i = 0; i < n_; ++i) {
    if (data[i].first == var) {
      data[i].second = id;
      return;
    }
  }
  if (n_ < kInline) {
    inline_[n_++] = {var, id};
    return;
  }
  if (n_ == kInline || n_ == capacity(n_)) {
    Binding* grown = new Binding[capacity(n_ + 1)];
    std::copy(data, data + n_, grown);
    if (n_ > kInline) delete[] heap_;
    heap_ = grown;
  }
  heap_[n_++] = {var, id};
}

Id Subst::operator[](Var var) const {
  if (auto id = get(var)) return *id;
  throw std::logic_error("substitution does not bind variable number " + std::to_string(var.name.number()));
}

}  // namespace egraph
