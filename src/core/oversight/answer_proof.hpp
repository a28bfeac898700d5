#pragma once

// The decision file that answers a confirmation request. A denial is the word
// alone; an approval carries the owner's proof, made with the vault key over
// the request's own proof, so it answers that one request and no other, and
// nobody without the key can write it.
//
//   approved <64 hex digits: HMAC-SHA-512-256 under the answer key of
//             the request's 32-byte proof followed by "approved">

#include <string>
#include <string_view>

#include "core/oversight/confirm.hpp"
#include "core/keys/proof.hpp"

namespace tarnel::core {

std::string approval_answer(const Proof& request_mac, const ProofKey& answer_key);
inline constexpr std::string_view kDenialAnswer = "denied\n";

// What the answer text decides for the request with that proof: Approved only
// with a valid proof; "approved" without one, or with a wrong one, is Forged;
// anything else is Denied. White space around the text is ignored.
Decision decision_of(std::string_view text, const Proof& request_mac, const ProofKey& answer_key);

}  // namespace tarnel::core
