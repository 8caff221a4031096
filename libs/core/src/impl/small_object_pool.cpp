#include <core/small_object_pool.hpp>

#include <utility>

namespace qvd::libs::core::small_object_pool::detail {

namespace {

// Set once the thread has released its blocks: blocks freed later in its exit go straight back.
thread_local bool t_released = false;

// Releases the thread's spare blocks when it ends.
class spare_blocks_release {
public:
    ~spare_blocks_release() {
        spare_blocks& spare = t_spare_blocks;
        spare.keeping = false;
        t_released = true;
        for (spare_block*& head : spare.heads)
            while (head != nullptr)
                ::operator delete(std::exchange(head, head->next));
    }
};

} // namespace

void* allocate_new(std::size_t _class) {
    // Always the whole class size, so that the block fits its class on whatever thread frees it.
    return ::operator new(block_size(_class));
}

void deallocate_slow(void* _block, std::size_t _class) noexcept {
    if (_block == nullptr)
        return;
    spare_blocks& spare = t_spare_blocks;
    if (!spare.keeping && !t_released) {
        // The thread's first spare block: its release at the thread's end comes first.
        thread_local spare_blocks_release release;
        static_cast<void>(release);
        spare.keeping = true;
    }
    if (!spare.keeping || spare.counts[_class] >= spare_limit(_class)) {
        ::operator delete(_block);
        return;
    }
    spare.heads[_class] = ::new (_block) spare_block{spare.heads[_class]};
    ++spare.counts[_class];
}

} // namespace qvd::libs::core::small_object_pool::detail
