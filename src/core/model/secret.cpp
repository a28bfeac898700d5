#include "core/model/secret.hpp"

#include <sodium.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace tarnel::core {

namespace {

// From this size on a buffer is its own mapping, sized in whole huge pages.
constexpr std::size_t kMappedFrom = std::size_t{1} << 20;
constexpr std::size_t kMapUnit = std::size_t{2} << 20;

std::size_t mapping_size(std::size_t capacity) { return (capacity + kMapUnit - 1) / kMapUnit * kMapUnit; }

// Advice only: a kernel without huge pages or dump filtering maps it all the same.
void advise(std::uint8_t* data, std::size_t size) noexcept {
    (void)::madvise(data, size, MADV_DONTDUMP);
    (void)::madvise(data, size, MADV_HUGEPAGE);
}

std::uint8_t* map_fresh(std::size_t size) {
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    advise(static_cast<std::uint8_t*>(data), size);
    return static_cast<std::uint8_t*>(data);
}

}  // namespace

SecretValue::SecretValue(std::span<const std::uint8_t> bytes) { append(bytes); }

SecretValue SecretValue::from_text(std::string_view text) {
    SecretValue value;
    value.append(text);
    return value;
}

SecretValue SecretValue::take(std::string&& owned) {
    SecretValue value = from_text(owned);
    sodium_memzero(owned.data(), owned.size());
    owned.clear();
    owned.shrink_to_fit();
    return value;
}

SecretValue SecretValue::zeroed(std::size_t size) {
    SecretValue value;
    value.grow_to(size);
    // An empty value has no buffer, and memset must not be handed null; a
    // fresh mapping is zero already.
    if (size != 0 && !value.mapped()) std::memset(value.data_, 0, size);
    value.size_ = size;
    value.touched_ = size;
    return value;
}

SecretValue::SecretValue(SecretValue&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      touched_(std::exchange(other.touched_, 0)) {}

SecretValue& SecretValue::operator=(SecretValue&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        touched_ = std::exchange(other.touched_, 0);
    }
    return *this;
}

SecretValue::~SecretValue() { release(); }

bool SecretValue::mapped() const noexcept { return capacity_ >= kMappedFrom; }

void SecretValue::release() noexcept {
    if (data_ == nullptr) return;
    sodium_memzero(data_, size_);
    size_ = 0;
    if (mapped()) {
        sodium_memzero(data_, touched_);
        ::munmap(data_, capacity_);
    } else {
        sodium_memzero(data_, capacity_);
        ::operator delete(data_);
    }
    data_ = nullptr;
    capacity_ = 0;
    touched_ = 0;
}

void SecretValue::grow_to(std::size_t capacity) {
    if (capacity <= capacity_) return;
    if (mapped()) {
        // The kernel moves the pages, if it moves them at all: no copy is left behind.
        const std::size_t size = mapping_size(capacity);
        void* moved = ::mremap(data_, capacity_, size, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(moved);
        capacity_ = size;
        advise(data_, capacity_);
        return;
    }
    const bool map = capacity >= kMappedFrom;
    if (map) capacity = mapping_size(capacity);
    std::uint8_t* fresh = map ? map_fresh(capacity) : static_cast<std::uint8_t*>(::operator new(capacity));
    if (size_ > 0) std::memcpy(fresh, data_, size_);
    const std::size_t kept = size_;
    release();
    data_ = fresh;
    size_ = kept;
    capacity_ = capacity;
    touched_ = kept;
}

void SecretValue::reserve(std::size_t capacity) { grow_to(capacity); }

void SecretValue::push_back(std::uint8_t byte) {
    if (size_ == capacity_) grow_to(std::max<std::size_t>(16, capacity_ * 2));
    data_[size_++] = byte;
    touched_ = std::max(touched_, size_);
}

void SecretValue::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (size_ + bytes.size() > capacity_) grow_to(std::max(size_ + bytes.size(), capacity_ * 2));
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    touched_ = std::max(touched_, size_);
}

void SecretValue::append(std::string_view chars) {
    append(std::span(reinterpret_cast<const std::uint8_t*>(chars.data()), chars.size()));
}

std::span<std::uint8_t> SecretValue::room(std::size_t at_least) {
    if (size_ + at_least > capacity_) grow_to(std::max(size_ + at_least, capacity_ * 2));
    touched_ = std::max(touched_, size_ + at_least);
    return {data_ + size_, at_least};
}

void SecretValue::extend(std::size_t count) noexcept { size_ = std::min(size_ + count, touched_); }

void SecretValue::truncate(std::size_t size) noexcept {
    if (size >= size_) return;
    sodium_memzero(data_ + size, size_ - size);
    size_ = size;
}

SecretValue SecretValue::clone() const { return SecretValue(expose_secret()); }

bool SecretValue::same_bytes(const SecretValue& other) const noexcept {
    if (size_ != other.size_) return false;
    if (size_ == 0) return true;
    return sodium_memcmp(data_, other.data_, size_) == 0;
}

}  // namespace tarnel::core
