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

// A block of at least _size bytes, aligned like the global operator new.
void* allocate(std::size_t _size);
// Gives back a block of allocate(_size), from any thread: it joins that thread's spare blocks.
void deallocate(void* _block, std::size_t _size) noexcept;

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
