#pragma once

namespace tarnel::core {

// libsodium's one-time start-up: picks the fastest implementations (Argon2's
// block function among them) and seeds the random source. Safe from any
// thread; false only when libsodium could not start, and then every caller
// refuses to go on.
bool sodium_ready() noexcept;

}  // namespace tarnel::core
