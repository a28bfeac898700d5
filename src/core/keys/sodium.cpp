#include "core/keys/sodium.hpp"

#include <sodium.h>

namespace tarnel::core {

bool sodium_ready() noexcept {
    // A function-local static makes the one call thread-safe.
    static const bool ready = ::sodium_init() >= 0;
    return ready;
}

}  // namespace tarnel::core
