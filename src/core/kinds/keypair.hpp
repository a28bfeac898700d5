#pragma once

// Ed25519 keypairs in the texts OpenSSH reads: the public key as one
// "ssh-ed25519 AAAA… comment" line, the private key in the unencrypted
// "openssh-key-v1" format between its BEGIN and END lines.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

inline constexpr std::size_t kMaxKeyCommentBytes = 1024;

struct OpensshKeypair {
    SecretValue private_text;  // ends with a line feed, as ssh-keygen writes it
    std::string public_line;   // no line end
};

// A new keypair from the operating system's random source.
Result<OpensshKeypair> generate_ed25519(std::string_view comment);

// The keypair a given 32-byte seed makes, with the private section's check
// number given too: the same arguments always give the same texts.
Result<OpensshKeypair> ed25519_from_seed(const std::array<std::uint8_t, 32>& seed, std::string_view comment,
                                         std::uint32_t check);

}  // namespace tarnel::core
