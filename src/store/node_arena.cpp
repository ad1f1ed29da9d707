#include "store/node_arena.hpp"

#include <atomic>
#include <memory>
#include <type_traits>

#include <support/huge_pages.hpp>

namespace trellan {

static_assert(std::is_nothrow_move_constructible_v<NodeKey>, "moving keys to a new buffer cannot fail");

namespace {
// Whether the build's atomics are seen as they are: ThreadSanitizer does not
// model fences, so it cannot see that the fence below orders a released
// view's reads before the keys move. Under it a buffer is always copied,
// which is just as correct, only slower.
#if defined(__SANITIZE_THREAD__)
constexpr bool kFencesModelled = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kFencesModelled = false;
#else
constexpr bool kFencesModelled = true;
#endif
#else
constexpr bool kFencesModelled = true;
#endif
}  // namespace

NodeArena::Buffer::Buffer(size_t cap, bool huge_pages)
    : data(support::HugePageAllocator<NodeKey>().allocate(cap, huge_pages)), capacity(cap) {}

NodeArena::Buffer::~Buffer() {
  std::destroy(data, data + size);
  support::HugePageAllocator<NodeKey>().deallocate(data, capacity);
}

void NodeArena::reserve(size_t count) {
  if (count <= capacity()) return;
  // Only the store hands out views, under its lock, as the caller holds it
  // now: a count of one cannot rise meanwhile. The fence pairs with the
  // release of the last view, whose reads must end before the keys move.
  const bool unshared = kFencesModelled && buf_ && buf_.use_count() == 1;
  if (unshared) {
    std::atomic_thread_fence(std::memory_order_acquire);
    // A large buffer grows by moving its pages rather than its keys: a key
    // holds no pointer into itself, so its bytes may move.
    const size_t capacity = support::HugePageAllocator<NodeKey>::good_capacity(count);
    if (NodeKey* moved = support::HugePageAllocator<NodeKey>().grow_by_remap(buf_->data, buf_->capacity, capacity)) {
      buf_->data = moved;
      buf_->capacity = capacity;
      return;
    }
  }
  auto grown = std::make_shared<Buffer>(support::HugePageAllocator<NodeKey>::good_capacity(count), huge_pages_);
  if (buf_) {
    if (unshared) {
      std::uninitialized_move(buf_->data, buf_->data + buf_->size, grown->data);
    } else {
      std::uninitialized_copy(buf_->data, buf_->data + buf_->size, grown->data);
    }
    grown->size = buf_->size;
  }
  buf_ = std::move(grown);
}

SharedNodes NodeArena::share() const {
  if (!buf_) return {};
  return SharedNodes(buf_, buf_->data, buf_->size);
}

}  // namespace trellan
