#include "core/keys/thread_stack.hpp"

#include <sodium.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "core/base/os_error.hpp"

namespace tarnel::core {

namespace {

std::size_t page_size() noexcept { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

// Wipes only the pages present in memory: a thread touches a small part of
// its stack, and writing the rest would fault in megabytes just to zero them.
// Pages never touched hold nothing; a page out on swap has its slot freed by
// the unmapping that follows.
void wipe_resident_pages(std::uint8_t* begin, std::size_t size) noexcept {
    const std::size_t page = page_size();
    std::vector<unsigned char> resident;
    try {
        resident.resize(size / page);
    } catch (...) {
        sodium_memzero(begin, size);
        return;
    }
    if (::mincore(begin, size, resident.data()) != 0) {
        sodium_memzero(begin, size);
        return;
    }
    for (std::size_t i = 0; i < resident.size(); ++i) {
        if ((resident[i] & 1) != 0) sodium_memzero(begin + i * page, page);
    }
}

}  // namespace

Result<ThreadStack> ThreadStack::map(std::size_t size) {
    const std::size_t page = page_size();
    const std::size_t usable = (size + page - 1) / page * page;
    void* mapping =
        ::mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return fail(ErrorKind::Io, "mapping a thread stack: " + os_error_text(errno));
    if (::mprotect(mapping, page, PROT_NONE) != 0) {
        const int error_number = errno;
        ::munmap(mapping, usable + page);
        return fail(ErrorKind::Io, "protecting a thread stack's guard page: " + os_error_text(error_number));
    }
    return ThreadStack(static_cast<std::uint8_t*>(mapping), usable + page, page);
}

ThreadStack::ThreadStack(ThreadStack&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)),
      mapping_size_(std::exchange(other.mapping_size_, 0)),
      guard_size_(std::exchange(other.guard_size_, 0)) {}

ThreadStack& ThreadStack::operator=(ThreadStack&& other) noexcept {
    if (this != &other) {
        release();
        mapping_ = std::exchange(other.mapping_, nullptr);
        mapping_size_ = std::exchange(other.mapping_size_, 0);
        guard_size_ = std::exchange(other.guard_size_, 0);
    }
    return *this;
}

ThreadStack::~ThreadStack() { release(); }

void ThreadStack::wipe() noexcept {
    if (mapping_ != nullptr) wipe_resident_pages(mapping_ + guard_size_, mapping_size_ - guard_size_);
}

void ThreadStack::release() noexcept {
    if (mapping_ == nullptr) return;
    wipe();
    ::munmap(mapping_, mapping_size_);
    mapping_ = nullptr;
}

}  // namespace tarnel::core
