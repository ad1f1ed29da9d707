// Graphviz rendering of a store: one statement per node, then one edge per
// input reference, rendered under the store lock so the text shows one state.
#include <charconv>
#include <string>
#include <vector>

#include "store/graph_store.hpp"

namespace trellan {

namespace {

void append_id(std::string& out, uint64_t id) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, id);
  out.append(buf, r.ptr);
}

// Doubles each backslash and puts a backslash before each double quote; one
// pass gives the same text as doing the two replacements in that order.
void append_dot_escaped(std::string& out, std::string_view label) {
  for (char c : label) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
}

}  // namespace

std::string GraphStore::to_dot() const {
  return read_locked([](std::span<const NodeKey> nodes, std::span<const NodeId> outputs) {
    std::vector<bool> is_output(nodes.size(), false);
    for (NodeId id : outputs) is_output[id] = true;

    std::string out = "digraph trellan {\n";
    for (size_t i = 0; i < nodes.size(); ++i) {
      out += "  n";
      append_id(out, i);
      out += " [label=\"";
      append_dot_escaped(out, nodes[i].label());
      out += '"';
      if (is_output[i]) out += ", shape=doublecircle";
      out += "];\n";
    }
    for (size_t j = 0; j < nodes.size(); ++j) {
      for (NodeId k : nodes[j].inputs()) {
        out += "  n";
        append_id(out, k);
        out += " -> n";
        append_id(out, j);
        out += ";\n";
      }
    }
    out += "}\n";
    return out;
  });
}

}  // namespace trellan
