#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarnel::core {

// Owner of secret bytes (any bytes, not necessarily UTF-8).
//
// Move-only and without any textual form: the bytes are reached only through
// expose_secret(), so every read of a secret is easy to find. On destruction
// (and whenever the buffer grows) the used bytes are zeroed, the length is
// reset, then the whole allocation is zeroed before it is freed.
//
// A buffer of a mebibyte or more (a captured output) is a private mapping
// instead, left out of core dumps and backed by huge pages where the system
// allows. It grows by remapping, which moves its pages without copying them
// and leaves nothing behind, and only the bytes ever handed out are zeroed
// when it goes: the rest were never touched.
class SecretValue {
public:
    SecretValue() noexcept = default;
    explicit SecretValue(std::span<const std::uint8_t> bytes);
    // Copies the text's UTF-8 bytes.
    static SecretValue from_text(std::string_view text);
    // Takes the bytes of an owned string and wipes the string afterwards.
    static SecretValue take(std::string&& owned);
    // A zero-filled value of the given length, to be filled through expose_secret_mut().
    static SecretValue zeroed(std::size_t size);

    SecretValue(SecretValue&& other) noexcept;
    SecretValue& operator=(SecretValue&& other) noexcept;
    SecretValue(const SecretValue&) = delete;
    SecretValue& operator=(const SecretValue&) = delete;
    ~SecretValue();

    std::span<const std::uint8_t> expose_secret() const noexcept { return {data_, size_}; }
    std::span<std::uint8_t> expose_secret_mut() noexcept { return {data_, size_}; }
    // The same bytes seen as characters, for APIs that take char data.
    std::string_view expose_secret_chars() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t capacity() const noexcept { return capacity_; }

    void reserve(std::size_t capacity);
    void push_back(std::uint8_t byte);
    void append(std::span<const std::uint8_t> bytes);
    void append(std::string_view chars);
    // The free room past the end, at least `at_least` bytes, for a read to
    // fill in place; extend() then keeps what it wrote. Whatever was written
    // there is wiped with the rest, kept or not.
    std::span<std::uint8_t> room(std::size_t at_least);
    void extend(std::size_t count) noexcept;
    // Shrinks to the given length, zeroing the bytes past it.
    void truncate(std::size_t size) noexcept;
    void clear() noexcept { truncate(0); }

    // An explicit copy; secrets are never copied implicitly.
    SecretValue clone() const;
    // Compares in time independent of where the contents differ.
    bool same_bytes(const SecretValue& other) const noexcept;

private:
    void release() noexcept;
    void grow_to(std::size_t capacity);
    bool mapped() const noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t touched_ = 0;  // bytes of the buffer ever handed out
};

}  // namespace tarnel::core
