#include <core/small_object_pool.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace qvd::libs::core;

namespace {

bool aligned(const void* _block) {
    return reinterpret_cast<std::uintptr_t>(_block) % __STDCPP_DEFAULT_NEW_ALIGNMENT__ == 0;
}

// Counts its live copies, so that a test sees every copy destroyed.
struct counted {
    std::shared_ptr<int> live;
    std::string text;
    void operator()(std::string& _out) const { _out = text; }
};

} // namespace

TEST(small_object_pool, blocks_of_every_size_are_whole_aligned_and_apart) {
    // Sizes around every class boundary and beyond the largest class.
    std::vector<std::pair<void*, std::size_t>> blocks;
    for (std::size_t size = 0; size <= small_object_pool::max_block_size + 40; size += 7)
        for (int copy = 0; copy < 3; ++copy) {
            void* const block = small_object_pool::allocate(size);
            ASSERT_NE(block, nullptr);
            EXPECT_TRUE(aligned(block)) << size;
            std::memset(block, static_cast<int>(size & 0xff), size);
            blocks.emplace_back(block, size);
        }
    std::set<void*> distinct;
    for (const auto& [block, size] : blocks) {
        distinct.insert(block);
        // Nothing written to a later block reached this one.
        for (std::size_t i = 0; i < size; ++i)
            ASSERT_EQ(static_cast<unsigned char*>(block)[i], static_cast<unsigned char>(size & 0xff)) << size;
    }
    EXPECT_EQ(distinct.size(), blocks.size());
    for (const auto& [block, size] : blocks)
        small_object_pool::deallocate(block, size);
    small_object_pool::deallocate(nullptr, 16);
}

TEST(small_object_pool, a_block_freed_on_another_thread_serves_that_thread_in_full) {
    // Blocks of one size class freed by a thread that then asks for the largest size of the class.
    std::vector<void*> blocks;
    for (int i = 0; i < 100; ++i)
        blocks.push_back(small_object_pool::allocate(17));
    std::vector<void*> again;
    std::vector<int> whole;
    std::thread other([&] {
        for (void* block : blocks)
            small_object_pool::deallocate(block, 17);
        for (int i = 0; i < 100; ++i) {
            again.push_back(small_object_pool::allocate(32));
            std::memset(again.back(), 0x5a, 32);
        }
        // Every block still holds all 32 bytes once all are written: none overlaps another.
        for (void* block : again) {
            const auto* bytes = static_cast<const unsigned char*>(block);
            whole.push_back(std::all_of(bytes, bytes + 32, [](unsigned char _byte) { return _byte == 0x5a; }));
        }
        for (void* block : again)
            small_object_pool::deallocate(block, 32);
    });
    other.join();
    // The other thread's requests were served from the blocks it had freed, not from new ones
    // (under the address sanitizer every block comes from operator new).
    if (small_object_pool::detail::pooling) {
        EXPECT_EQ(std::set<void*>(again.begin(), again.end()), std::set<void*>(blocks.begin(), blocks.end()));
    }
    EXPECT_EQ(whole, std::vector<int>(100, 1));
}

TEST(small_object_pool, allocator_serves_shared_pointers_and_containers) {
    const auto shared = std::allocate_shared<std::string>(small_object_pool::allocator<std::string>(),
                                                          "a text long enough for the heap");
    EXPECT_EQ(*shared, "a text long enough for the heap");

    std::vector<int, small_object_pool::allocator<int>> numbers;
    for (int i = 0; i < 1000; ++i)
        numbers.push_back(i);
    EXPECT_EQ(numbers.size(), 1000u);
    EXPECT_EQ(numbers[999], 999);
    EXPECT_TRUE(small_object_pool::allocator<int>() == small_object_pool::allocator<char>());
}

TEST(small_object_pool, pooled_functions_keep_and_release_what_they_hold) {
    const auto live = std::make_shared<int>(0);
    {
        std::function<void(std::string&)> function =
            small_object_pool::make_pooled(counted{live, "held by a pooled copy"});
        std::function<void(std::string&)> copy = function;
        EXPECT_EQ(live.use_count(), 3);
        std::string out;
        copy(out);
        EXPECT_EQ(out, "held by a pooled copy");
    }
    EXPECT_EQ(live.use_count(), 1);
}
