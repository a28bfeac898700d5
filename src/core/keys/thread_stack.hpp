#pragma once

#include <cstddef>
#include <cstdint>

#include "core/base/error.hpp"

namespace tarnel::core {

// A stack for one thread, mapped by us rather than by the thread library, so
// that what the thread leaves on it can be wiped: glibc keeps the stacks of
// finished threads for reuse, contents and all. An inaccessible guard page
// lies below the usable part, so an overflow faults instead of writing on.
// Destruction wipes the pages the thread touched and unmaps everything; it
// must come only after the thread has been joined.
class ThreadStack {
public:
    // `size` is rounded up to whole pages.
    static Result<ThreadStack> map(std::size_t size);

    ThreadStack(ThreadStack&& other) noexcept;
    ThreadStack& operator=(ThreadStack&& other) noexcept;
    ThreadStack(const ThreadStack&) = delete;
    ThreadStack& operator=(const ThreadStack&) = delete;
    ~ThreadStack();

    // Zeroes every page of the usable part that the thread has touched.
    void wipe() noexcept;

    // The lowest usable address and the usable size, as pthread_attr_setstack takes them.
    void* base() const noexcept { return mapping_ + guard_size_; }
    std::size_t size() const noexcept { return mapping_size_ - guard_size_; }

private:
    ThreadStack(std::uint8_t* mapping, std::size_t mapping_size, std::size_t guard_size) noexcept
        : mapping_(mapping), mapping_size_(mapping_size), guard_size_(guard_size) {}
    void release() noexcept;

    std::uint8_t* mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
    std::size_t guard_size_ = 0;
};

}  // namespace tarnel::core
