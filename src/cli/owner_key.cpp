#include "cli/owner_key.hpp"

#include <fmt/format.h>

#include <string>
#include <utility>

#include "cli/prompt.hpp"
#include "core/keys/random.hpp"
#include "session/owner_proof.hpp"

namespace tarnel::cli {

namespace {

// Long enough that guessing it is hopeless, short enough to type.
constexpr std::size_t kCodeLength = 8;

session::SessionResult<core::MasterKey> key_from_typed_code(const std::filesystem::path& root, std::string_view doing) {
    auto key = session::keyring_key(root);
    if (!key) return key;
    auto code = core::random_alphanumeric(kCodeLength);
    if (!code) return session::fail(session::SessionError(code.error()));
    const std::string_view expected = code->expose_secret_chars();
    PromptFailure failure;
    auto typed = ask_line(fmt::format("Type {} to approve: ", expected), failure);
    if (!typed) return session::fail(session::SessionError::other(failure.text));
    if (*typed != expected) {
        return session::fail(session::SessionError::denied(fmt::format("the code does not match; {}", doing)));
    }
    return key;
}

}  // namespace

session::SessionResult<core::MasterKey> owner_key(const std::filesystem::path& root, std::string_view doing) {
    if (!has_terminal()) {
        return session::fail(session::SessionError::denied(
            fmt::format("this needs a terminal, where you type the vault passphrase; {}", doing)));
    }
    auto proof = session::owner_proof_for(root);
    if (!proof) return session::fail(std::move(proof.error()));
    if (*proof == session::OwnerProof::ShownCode) return key_from_typed_code(root, doing);
    PromptFailure failure;
    auto passphrase = ask_secret("Vault passphrase: ", failure);
    if (!passphrase) return session::fail(session::SessionError::other(failure.text));
    return session::owner_key_from_passphrase(root, std::move(*passphrase));
}

}  // namespace tarnel::cli
