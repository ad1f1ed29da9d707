#include <gtest/gtest.h>

#include "store/graph_store.hpp"

namespace trellan {
namespace {

NodeId add(GraphStore& s, NodeKey key) { return s.intern(std::move(key)).value(); }

TEST(Dot, FiveLineExample) {
  GraphStore s;
  add(s, NodeKey::source("x", ParamMap()));
  add(s, NodeKey::op("add", ParamMap::make({{"scalar", ParamValue::Float(1.0)}}), {0}));
  ASSERT_TRUE(s.mark_output(1).ok());
  EXPECT_EQ(s.to_dot(),
            "digraph trellan {\n"
            "  n0 [label=\"Source x\"];\n"
            "  n1 [label=\"Op add {scalar=1}\", shape=doublecircle];\n"
            "  n0 -> n1;\n"
            "}\n");
}

TEST(Dot, EmptyStore) {
  GraphStore s;
  EXPECT_EQ(s.to_dot(), "digraph trellan {\n}\n");
}

TEST(Dot, LabelEscaping) {
  GraphStore s;
  add(s, NodeKey::source("say \"hi\"", ParamMap()));
  add(s, NodeKey::source("back\\slash", ParamMap()));
  // Backslashes are doubled first, so the one put before the quote stays single.
  add(s, NodeKey::source("a\\\"b", ParamMap()));
  // A line feed stays raw; a Str param's display quotes get escaped too.
  add(s, NodeKey::source("two\nlines", ParamMap::make({{"k", ParamValue::Str("v")}})));
  EXPECT_EQ(s.to_dot(),
            "digraph trellan {\n"
            "  n0 [label=\"Source say \\\"hi\\\"\"];\n"
            "  n1 [label=\"Source back\\\\slash\"];\n"
            "  n2 [label=\"Source a\\\\\\\"b\"];\n"
            "  n3 [label=\"Source two\nlines {k=\\\"v\\\"}\"];\n"
            "}\n");
}

TEST(Dot, EdgesFollowInputListsAfterAllNodes) {
  GraphStore s;
  add(s, NodeKey::source("a", ParamMap()));
  add(s, NodeKey::source("b", ParamMap()));
  add(s, NodeKey::source("lonely", ParamMap()));
  add(s, NodeKey::op("f", ParamMap(), {1, 0}));
  add(s, NodeKey::join(ParamMap(), {3, 3}));
  // Member references are internal to the stage and draw no edges.
  add(s, NodeKey::stage({4, 0}, {StageOp{"op|g", {StageRef::input(1)}},
                                 StageOp{"op|h", {StageRef::member(0), StageRef::input(0)}},
                                 StageOp{"op|k", {StageRef::member(1)}}}));
  ASSERT_TRUE(s.mark_output(5).ok());
  ASSERT_TRUE(s.mark_output(2).ok());
  EXPECT_EQ(s.to_dot(),
            "digraph trellan {\n"
            "  n0 [label=\"Source a\"];\n"
            "  n1 [label=\"Source b\"];\n"
            "  n2 [label=\"Source lonely\", shape=doublecircle];\n"
            "  n3 [label=\"Op f\"];\n"
            "  n4 [label=\"Join\"];\n"
            "  n5 [label=\"Stage[3 members]\", shape=doublecircle];\n"
            "  n1 -> n3;\n"
            "  n0 -> n3;\n"
            "  n3 -> n4;\n"
            "  n3 -> n4;\n"
            "  n4 -> n5;\n"
            "  n0 -> n5;\n"
            "}\n");
}

}  // namespace
}  // namespace trellan
