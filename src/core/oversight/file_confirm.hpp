#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/oversight/clock.hpp"
#include "core/oversight/confirm.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"
#include "core/keys/master_key.hpp"
#include "core/keys/proof.hpp"
#include "core/oversight/request_id.hpp"

namespace tarnel::core {

// Asks through the file system: writes ID.json into the pending directory and
// polls for ID.decision, which a human-facing tool writes beside it. The
// request carries a proof made with the vault key, so the owner's tool can
// tell it is the one this process wrote; only an answer carrying the owner's
// proof for that request approves. Both files are removed afterwards. While
// it waits it holds its request (PendingDir::hold), and before asking it
// removes the requests of requesters that died.
class FileConfirmer final : public Confirmer {
public:
    static constexpr std::chrono::milliseconds kPollInterval{250};

    // The clock stamps identifiers and "created_unix"; it must outlive the confirmer.
    FileConfirmer(std::filesystem::path dir, const MasterKey& key,
                  std::chrono::milliseconds poll_interval = kPollInterval, const Clock& clock = system_wall_clock());
    static FileConfirmer under_root(const std::filesystem::path& root, const MasterKey& key,
                                    const Clock& clock = system_wall_clock());

    const std::filesystem::path& dir() const noexcept { return dir_; }
    std::chrono::milliseconds poll_interval() const noexcept { return poll_interval_; }

    // A cancelled wait withdraws the request before returning: an answer
    // written afterwards finds nothing to answer, and none is read.
    Decision confirm(const ConfirmRequest& request, std::chrono::milliseconds timeout,
                     const CancelToken& cancel = CancelToken::never()) const override;

    // Withdraws ID.json and removes ID.decision; failures are ignored.
    void cleanup(std::string_view id) const;

private:
    struct Published {
        std::string id;
        Proof mac;  // kept here: the answer must prove this, whatever the file says now
        UniqueFd hold;
    };
    // Writes ID.json under an identifier no other request holds; none when
    // the request cannot be written.
    std::optional<Published> publish_request(const ConfirmRequest& request, std::chrono::milliseconds timeout) const;
    Decision await_decision(const Published& request, std::chrono::milliseconds timeout,
                            const CancelToken& cancel) const;

    std::filesystem::path dir_;
    std::chrono::milliseconds poll_interval_;
    const Clock* clock_;
    // None only when libsodium could not start; every request is then denied.
    std::optional<ProofKey> request_key_;
    std::optional<ProofKey> answer_key_;
};

}  // namespace tarnel::core
