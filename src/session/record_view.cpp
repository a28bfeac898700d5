#include "session/record_view.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "core/base/ascii.hpp"
#include "core/keys/fingerprint.hpp"
#include "core/base/overloaded.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::session {

namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Mode, fingerprint and reference of one kind. Nothing here reads a private
// key or a seed: a keypair is known by its public half, an enrolment by its
// parameters, a reference by its URI.
void describe_kind(const core::RecordKind& kind, RecordView& view) {
    std::visit(core::Overloaded{
                   [&](const core::LiteralRecord& literal) {
                       view.mode = "literal";
                       view.fingerprint = core::fingerprint(literal.value.expose_secret());
                   },
                   [&](const core::ReferenceRecord& ref) {
                       view.mode = "reference";
                       view.fingerprint = "\u2192 " + ref.ref;
                       view.reference = ref.ref;
                   },
                   [&](const core::KeypairRecord& pair) {
                       view.mode = std::string(pair.private_key ? "keypair:" : "pubkey:") +
                                   std::string(core::key_algorithm_word(pair.algorithm));
                       view.fingerprint = core::fingerprint(bytes_of(pair.public_key));
                   },
                   [&](const core::TotpRecord& totp) {
                       const std::string_view algorithm = core::totp_algorithm_word(totp.algorithm);
                       view.mode = "totp:" + std::string(algorithm);
                       const std::string parameters = "totp:" + core::ascii_upper(algorithm) + ":" +
                                                      std::to_string(totp.digits) + ":" + std::to_string(totp.period);
                       view.fingerprint = core::fingerprint(bytes_of(parameters));
                   },
               },
               kind);
}

}  // namespace

RecordView view_of(const core::SecretRecord& record, std::optional<std::string_view> project) {
    const core::RecordMetadata& meta = record.meta;
    RecordView view;
    view.coordinate = record.canonical_path();
    view.environment = meta.environment;
    view.component = meta.component;
    view.key = meta.key;
    // "injectonly", not the stored "inject-only": the caller sees the level's name.
    view.sensitivity = core::ascii_lower(core::sensitivity_debug_name(meta.sensitivity));
    describe_kind(record.kind, view);
    view.origin = project ? "project:" + std::string(*project) : std::string("global");
    view.revealable = meta.revealable;
    return view;
}

}  // namespace tarnel::session
