#pragma once

// The human's side of FileConfirmer: the requests waiting in the pending
// directory, and the decision file that answers one.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/oversight/confirm.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"
#include "core/keys/proof.hpp"
#include "core/oversight/request_file.hpp"

namespace tarnel::core {

struct PendingConfirmation {
    RequestId id;
    std::uint64_t created_unix = 0;
    // The requester stops waiting then; no answer reaches it afterwards.
    std::uint64_t expires_unix = 0;
    ConfirmRequest request;
    // A decision file is already there: answered, waiting to be read.
    bool answered = false;
    // The file as read; nothing in it is to be believed until its proof is
    // checked with the vault key (seal_with).
    std::string text;

    // Whether the file is, byte for byte, what a process holding the vault
    // key wrote; its proof when it is.
    SealCheck seal_with(const ProofKey& request_key) const { return check_sealed_object(text, request_key); }
};

using PendingList = RequestListing<PendingConfirmation>;

class PendingDir {
public:
    explicit PendingDir(std::filesystem::path dir) : dir_(std::move(dir)) {}
    static PendingDir under_root(const std::filesystem::path& root) { return PendingDir(root / "pending"); }

    const std::filesystem::path& dir() const noexcept { return dir_; }

    // Every request file, oldest first; a malformed one is listed apart.
    Result<PendingList> list() const;
    // The request under that identifier; nothing when there is none. A file
    // whose "id" is not its own name is malformed.
    Result<std::optional<PendingConfirmation>> find(const RequestId& id) const;
    // Whether ID.json is still there (the requester withdraws it once it
    // has an answer or stops waiting).
    bool waiting(const RequestId& id) const;

    // Writes ID.decision whole, never replacing one: false when the request
    // already has an answer. A denial needs no proof; an approval carries the
    // owner's proof over the request's.
    Result<bool> deny(const RequestId& id) const;
    Result<bool> approve(const RequestId& id, const Proof& request_mac, const ProofKey& answer_key) const;
    // Removes an answer the requester will never read.
    void retract(const RequestId& id) const;

    // The requester's hold on its request for as long as it waits: a shared
    // lock on ID.json, which ends when the descriptor closes or the process
    // dies however it dies. None when the file is already gone.
    UniqueFd hold(const RequestId& id) const;
    // Removes the listed requests nobody waits for any more: each one
    // published more than kAbandonedAfter ago that no process holds, with its
    // answer, from the directory and the listing. Only a requester that died
    // leaves such a file; a malformed one, listed apart, is left for the
    // owner to see. The listing counts them in `abandoned`.
    void sweep_abandoned(PendingList& listing) const;
    // Long enough for a requester to take its hold after publishing.
    static constexpr std::uint64_t kAbandonedAfter = 5;

private:
    std::filesystem::path dir_;
};

}  // namespace tarnel::core
