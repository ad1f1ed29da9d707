// A store's arena grows past huge pages by moving its pages while no view
// holds them and by copying its keys while one does: either way every key,
// and every view taken before, stays as it was.
#include <gtest/gtest.h>

#include "store/graph_store.hpp"

namespace trellan::test {

NodeKey chain_key(NodeId i) {
  return i == 0 ? NodeKey::source("s", ParamMap()) : NodeKey::op("neg", ParamMap(), IdList{i - 1});
}

void extend_chain(GraphStore& s, NodeId to) {
  for (NodeId i = s.node_count(); i < to; ++i) ASSERT_EQ(s.intern(chain_key(i)).value(), i);
}

TEST(StoreGrowth, KeysAndViewsSurviveGrowthPastHugePages) {
  GraphStore s;
  extend_chain(s, 40000);  // from the heap to mapped pages, then moving them
  {
    const SharedNodes view = s.shared_nodes();
    extend_chain(s, 100000);  // copies, as the view holds the keys
    ASSERT_EQ(view.size(), 40000u);
    for (NodeId i = 0; i < view.size(); ++i) ASSERT_EQ(view[i], chain_key(i)) << i;
  }
  extend_chain(s, 300000);  // moving pages again, the view gone
  const SharedNodes all = s.shared_nodes();
  for (NodeId i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], chain_key(i)) << i;
}

}  // namespace trellan::test
