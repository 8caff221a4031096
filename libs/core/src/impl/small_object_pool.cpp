#include <core/small_object_pool.hpp>

#include <array>
#include <cstdint>

namespace qvd::libs::core::small_object_pool {

namespace {

constexpr std::size_t granularity = 16;
constexpr std::size_t class_count = max_block_size / granularity;
// Spare bytes kept per size class and thread: enough for a window of a few thousand operations,
// while a thread that once had a burst does not keep much memory from the rest of the process.
constexpr std::size_t spare_bytes_per_class = 64 * 1024;

constexpr std::size_t class_of(std::size_t _size) { return _size == 0 ? 0 : (_size - 1) / granularity; }
constexpr std::size_t block_size(std::size_t _class) { return (_class + 1) * granularity; }

struct spare_block {
    spare_block* next;
};

// The most spare blocks of each class, so that each class keeps at most spare_bytes_per_class.
constexpr std::array<std::uint32_t, class_count> spare_limits = [] {
    std::array<std::uint32_t, class_count> result{};
    for (std::size_t i = 0; i < class_count; ++i)
        result[i] = static_cast<std::uint32_t>(spare_bytes_per_class / block_size(i));
    return result;
}();

// The spare blocks of one thread, one list per size class. Trivial, so that reaching it costs no
// initialisation check; what is left is released by the thread's spare_blocks_release.
struct spare_blocks {
    std::array<spare_block*, class_count> heads;
    std::array<std::uint32_t, class_count> counts;
    // Whether this thread's spare_blocks_release exists yet.
    bool release_registered;
    // Set once the thread has released its blocks: blocks freed later in its exit go straight back.
    bool released;
};

thread_local spare_blocks t_spare_blocks{};

class spare_blocks_release {
public:
    ~spare_blocks_release() {
        spare_blocks& spare = t_spare_blocks;
        spare.released = true;
        for (spare_block*& head : spare.heads)
            while (head != nullptr)
                ::operator delete(std::exchange(head, head->next));
    }
};

// Registers the release of the thread's blocks at its exit; before its first spare block.
void register_release() {
    thread_local spare_blocks_release release;
    static_cast<void>(release);
    t_spare_blocks.release_registered = true;
}

// The address sanitizer sees reuse of a block only when every block comes from operator new.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool pooling = false;
#else
constexpr bool pooling = true;
#endif

} // namespace

void* allocate(std::size_t _size) {
    if (!pooling || _size > max_block_size)
        return ::operator new(_size);
    const std::size_t size_class = class_of(_size);
    spare_blocks& spare = t_spare_blocks;
    spare_block* const block = spare.heads[size_class];
    if (block == nullptr)
        // Always the whole class size, so that the block fits its class on whatever thread frees it.
        return ::operator new(block_size(size_class));
    spare.heads[size_class] = block->next;
    --spare.counts[size_class];
    return block;
}

void deallocate(void* _block, std::size_t _size) noexcept {
    if (_block == nullptr)
        return;
    spare_blocks& spare = t_spare_blocks;
    const std::size_t size_class = class_of(_size);
    if (!pooling || _size > max_block_size || spare.released || spare.counts[size_class] >= spare_limits[size_class]) {
        ::operator delete(_block);
        return;
    }
    if (!spare.release_registered)
        register_release();
    spare.heads[size_class] = ::new (_block) spare_block{spare.heads[size_class]};
    ++spare.counts[size_class];
}

} // namespace qvd::libs::core::small_object_pool
