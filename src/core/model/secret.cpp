#include "core/model/secret.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarnel::core {

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
    // An empty value has no buffer, and memset must not be handed null.
    if (size != 0) std::memset(value.data_, 0, size);
    value.size_ = size;
    return value;
}

SecretValue::SecretValue(SecretValue&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

SecretValue& SecretValue::operator=(SecretValue&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

SecretValue::~SecretValue() { release(); }

void SecretValue::release() noexcept {
    if (data_ == nullptr) return;
    sodium_memzero(data_, size_);
    size_ = 0;
    sodium_memzero(data_, capacity_);
    ::operator delete(data_);
    data_ = nullptr;
    capacity_ = 0;
}

void SecretValue::grow_to(std::size_t capacity) {
    if (capacity <= capacity_) return;
    auto* fresh = static_cast<std::uint8_t*>(::operator new(capacity));
    if (size_ > 0) std::memcpy(fresh, data_, size_);
    const std::size_t kept = size_;
    release();
    data_ = fresh;
    size_ = kept;
    capacity_ = capacity;
}

void SecretValue::reserve(std::size_t capacity) { grow_to(capacity); }

void SecretValue::push_back(std::uint8_t byte) {
    if (size_ == capacity_) grow_to(std::max<std::size_t>(16, capacity_ * 2));
    data_[size_++] = byte;
}

void SecretValue::append(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (size_ + bytes.size() > capacity_) grow_to(std::max(size_ + bytes.size(), capacity_ * 2));
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
}

void SecretValue::append(std::string_view chars) {
    append(std::span(reinterpret_cast<const std::uint8_t*>(chars.data()), chars.size()));
}

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
