// Arbitrary bytes through the blob reader. Whatever the input, decoding ends
// in a store or a DecodeError: never a crash or an exception, and never more
// memory than a small multiple of the input (the peak of live heap bytes
// during decoding is measured through the sanitizer's allocation hooks). A
// store that decodes is written with its marks, read back, and written again;
// both writes must give the same bytes, and the two stores the same nodes.
#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_check.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"

using namespace trellan;

namespace {

// Peak live heap bytes allocated by this thread while `tracking` is set.
thread_local bool tracking = false;
thread_local size_t live = 0;
thread_local size_t peak = 0;

void on_malloc(const volatile void*, size_t size) {
  if (!tracking) return;
  live += size;
  if (live > peak) peak = live;
}

void on_free(const volatile void* p) {
  if (!tracking || p == nullptr) return;
  size_t size = __sanitizer_get_allocated_size(const_cast<const void*>(p));
  live = size > live ? 0 : live - size;
}

// A decoded node costs at most a few dozen times its smallest encoding (a
// key, its hash and table slot, amortized vector growth); the constant covers
// the empty store's own tables.
constexpr size_t kBytesPerInputByte = 64;
constexpr size_t kFixedBytes = 64 * 1024;

// Structural facts every store built by the reader must satisfy.
void check_store(const GraphStore& store) {
  Snapshot snap = store.snapshot();
  FUZZ_CHECK(snap.nodes.size() == store.node_count());
  for (size_t i = 0; i < snap.nodes.size(); ++i) {
    for (NodeId in : snap.nodes[i].inputs()) FUZZ_CHECK(in < i);
    if (snap.nodes[i].kind() == NodeKind::Stage) {
      const auto& members = snap.nodes[i].members();
      for (size_t j = 0; j < members.size(); ++j) {
        for (const StageRef& r : members[j].inputs) {
          if (r.kind == StageRef::Kind::Member) FUZZ_CHECK(r.value < j);
        }
      }
    }
  }
  std::vector<bool> seen(snap.nodes.size(), false);
  for (NodeId out : snap.outputs) {
    FUZZ_CHECK(out < snap.nodes.size());
    FUZZ_CHECK(!seen[out]);  // marks never repeat
    seen[out] = true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  live = peak = 0;
  tracking = true;
  auto decoded = deserialize(std::span<const uint8_t>(data, size));
  tracking = false;
  if (peak > kFixedBytes + kBytesPerInputByte * size) {
    std::fprintf(stderr, "decoding %zu bytes took %zu bytes of heap\n", size, peak);
    std::abort();
  }
  if (!decoded.ok()) {
    FUZZ_CHECK(!decoded.error().message().empty());
    return 0;
  }
  const GraphStore& store = *decoded.value();
  check_store(store);

  // Every field of a decoded store came from a 32-bit field, so it fits again.
  std::vector<NodeId> marks = store.outputs();
  auto first = serialize_with(store, marks);
  FUZZ_CHECK(first.ok());
  // The canonical form is never longer than what it was read from.
  FUZZ_CHECK(first.value().size() <= size);

  auto reread = deserialize(first.value());
  FUZZ_CHECK(reread.ok());
  const GraphStore& again = *reread.value();
  FUZZ_CHECK(again.outputs() == marks);
  Snapshot a = store.snapshot();
  Snapshot b = again.snapshot();
  FUZZ_CHECK(a.nodes.size() == b.nodes.size());
  for (size_t i = 0; i < a.nodes.size(); ++i) FUZZ_CHECK(a.nodes[i] == b.nodes[i]);

  auto second = serialize_with(again, again.outputs());
  FUZZ_CHECK(second.ok());
  FUZZ_CHECK(second.value() == first.value());

  // The other readers of a store take any decoded node as well.
  (void)store.to_dot();
  for (const NodeKey& key : a.nodes) {
    (void)key.token();
    (void)key.label();
    (void)key.operator_text();
    if (key.kind() == NodeKind::Stage) {
      for (const StageOp& m : key.members()) (void)parse_op_token(m.token);
    }
  }
  return 0;
}
