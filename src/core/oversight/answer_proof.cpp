#include "core/oversight/answer_proof.hpp"

#include "core/codec/unicode_space.hpp"

namespace tarnel::core {

namespace {

constexpr std::string_view kApproved = "approved";

std::string answered_message(const Proof& request_mac) {
    std::string message(reinterpret_cast<const char*>(request_mac.data()), request_mac.size());
    message += kApproved;
    return message;
}

}  // namespace

std::string approval_answer(const Proof& request_mac, const ProofKey& answer_key) {
    return std::string(kApproved) + " " + proof_hex(answer_key.sign(answered_message(request_mac))) + "\n";
}

Decision decision_of(std::string_view text, const Proof& request_mac, const ProofKey& answer_key) {
    const std::string_view answer = trim_unicode_space(text);
    if (!answer.starts_with(kApproved)) return Decision::Denied;
    std::string_view rest = answer.substr(kApproved.size());
    if (rest.empty()) return Decision::Forged;
    if (rest.front() != ' ') return Decision::Denied;  // "approvedx" is some other word
    const auto proof = proof_from_hex(rest.substr(1));
    if (!proof || !answer_key.verify(answered_message(request_mac), *proof)) return Decision::Forged;
    return Decision::Approved;
}

}  // namespace tarnel::core
