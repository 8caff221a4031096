#pragma once

#include <cstddef>
#include <new>
#include <utility>

// Reuse of the small blocks that every asynchronous operation allocates and frees: its handle, the
// functions it keeps, the jobs it posts, a Redis command. A pipelined connection allocates and frees
// them in bursts of hundreds, more than malloc's per-thread caches hold, and each pair then costs
// more than the rest of the operation's own work.
namespace qvd::libs::core::small_object_pool {

// The largest block kept for reuse; larger requests go to the global operator new.
constexpr std::size_t max_block_size = 256;

namespace detail {

// The address sanitizer sees reuse of a block only when every block comes from operator new.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool pooling = false;
#else
constexpr bool pooling = true;
#endif

constexpr std::size_t granularity = 16;
constexpr std::size_t class_count = max_block_size / granularity;
// Spare bytes kept per size class and thread: enough for a window of a few thousand operations,
// while a thread that once had a burst does not keep much memory from the rest of the process.
constexpr std::size_t spare_bytes_per_class = 64 * 1024;

constexpr std::size_t class_of(std::size_t _size) { return _size == 0 ? 0 : (_size - 1) / granularity; }
constexpr std::size_t block_size(std::size_t _class) { return (_class + 1) * granularity; }
constexpr std::size_t spare_limit(std::size_t _class) { return spare_bytes_per_class / block_size(_class); }

struct spare_block {
    spare_block* next;
};

// The spare blocks of one thread, one list per size class. Trivial, so that reaching it costs no
// initialisation check.
struct spare_blocks {
    spare_block* heads[class_count];
    std::size_t counts[class_count];
    // Whether blocks may be kept: from the registration of the thread's release until the release.
    bool keeping;
};

inline thread_local spare_blocks t_spare_blocks{};

// A block of the class from the global operator new.
void* allocate_new(std::size_t _class);
// Keeps a block when the thread's release is registered or can be, else hands it back.
void deallocate_slow(void* _block, std::size_t _class) noexcept;

} // namespace detail

// A block of at least _size bytes, aligned like the global operator new.
inline void* allocate(std::size_t _size) {
    if (!detail::pooling || _size > max_block_size)
        return ::operator new(_size);
    const std::size_t size_class = detail::class_of(_size);
    detail::spare_blocks& spare = detail::t_spare_blocks;
    detail::spare_block* const block = spare.heads[size_class];
    if (block == nullptr)
        return detail::allocate_new(size_class);
    spare.heads[size_class] = block->next;
    --spare.counts[size_class];
    return block;
}

// Gives back a block of allocate(_size), from any thread: it joins that thread's spare blocks.
inline void deallocate(void* _block, std::size_t _size) noexcept {
    if (!detail::pooling || _size > max_block_size) {
        ::operator delete(_block);
        return;
    }
    const std::size_t size_class = detail::class_of(_size);
    detail::spare_blocks& spare = detail::t_spare_blocks;
    if (_block == nullptr || !spare.keeping || spare.counts[size_class] >= detail::spare_limit(size_class)) {
        detail::deallocate_slow(_block, size_class);
        return;
    }
    spare.heads[size_class] = ::new (_block) detail::spare_block{spare.heads[size_class]};
    ++spare.counts[size_class];
}

// The pool as a standard allocator: for allocate_shared and for Asio's handler memory.
template <typename T>
class allocator {
public:
    using value_type = T;

    allocator() noexcept = default;
    template <typename U>
    allocator(const allocator<U>&) noexcept {}

    T* allocate(std::size_t _count) {
        if constexpr (alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__)
            return static_cast<T*>(::operator new(_count * sizeof(T), std::align_val_t(alignof(T))));
        else
            return static_cast<T*>(small_object_pool::allocate(_count * sizeof(T)));
    }

    void deallocate(T* _block, std::size_t _count) noexcept {
        if constexpr (alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__)
            ::operator delete(_block, std::align_val_t(alignof(T)));
        else
            small_object_pool::deallocate(_block, _count * sizeof(T));
    }

    template <typename U>
    bool operator==(const allocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const allocator<U>&) const noexcept {
        return false;
    }
};

// A function object whose heap copies, such as the one std::function makes of a large lambda,
// live in the pool.
template <typename F>
class pooled : public F {
public:
    explicit pooled(F _function) : F(std::move(_function)) {}
    using F::operator();

    static void* operator new(std::size_t _size) { return small_object_pool::allocate(_size); }
    static void operator delete(void* _block, std::size_t _size) noexcept {
        small_object_pool::deallocate(_block, _size);
    }
};

template <typename F>
pooled<F> make_pooled(F _function) {
    static_assert(alignof(F) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    return pooled<F>(std::move(_function));
}

} // namespace qvd::libs::core::small_object_pool
