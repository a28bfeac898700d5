#include "ffi/record_view.hpp"

#include <span>
#include <string>
#include <variant>

#include "core/fingerprint.hpp"
#include "core/sensitivity.hpp"

namespace tarnel::ffi {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// "injectonly", not the stored "inject-only": the agent sees the level's name.
std::string sensitivity_text(core::Sensitivity level) {
    std::string text(core::sensitivity_debug_name(level));
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string upper(std::string_view word) {
    std::string text(word);
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// Mode, fingerprint and reference of one kind. Nothing here reads a private
// key or a seed: a keypair is known by its public half, an enrolment by its
// parameters, a reference by its URI.
void describe_kind(const core::RecordKind& kind, RecordView& view) {
    std::visit(
        Overloaded{
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
                const std::string parameters = "totp:" + upper(algorithm) + ":" +
                                               std::to_string(totp.digits) + ":" +
                                               std::to_string(totp.period);
                view.fingerprint = core::fingerprint(bytes_of(parameters));
            },
        },
        kind);
}

}  // namespace

RecordView view_of(const core::SecretRecord& record, std::optional<std::string_view> project) {
    const core::RecordMetadata& meta = record.meta;
    RecordView view;
    view.coordinate = meta.environment + "/" + meta.component + "/" + meta.key;
    view.environment = meta.environment;
    view.component = meta.component;
    view.key = meta.key;
    view.sensitivity = sensitivity_text(meta.sensitivity);
    describe_kind(record.kind, view);
    view.origin = project ? "project:" + std::string(*project) : std::string("global");
    view.revealable = meta.revealable;
    return view;
}

}  // namespace tarnel::ffi
