#include "providers/client.hpp"

namespace tarnel::providers {

core::Result<core::ProcessOutput> run_client(const ClientName& client, const std::vector<std::string>& args,
                                             std::chrono::milliseconds timeout) {
    const core::ProcessSpec spec{
        .program = std::string(client.program), .args = args, .capture = true, .timeout = timeout};
    auto ran = core::run_process(spec, core::ChildEnvironment::inherited_without_vault_settings());
    if (ran) return std::move(*ran);

    const std::string scheme(client.scheme);
    const std::string program(client.program);
    switch (ran.error().kind) {
        case core::ProcessFailure::Start:
            return core::fail(core::ErrorKind::Provider, scheme + ": could not run `" + program + "` — is the " +
                                                             std::string(client.product) + " installed and on PATH? (" +
                                                             ran.error().os_text + ")");
        case core::ProcessFailure::Wait:
        case core::ProcessFailure::Cancelled:  // never: no token is given
            return core::fail(core::ErrorKind::Provider,
                              scheme + ": waiting on `" + program + "` failed (" + ran.error().os_text + ")");
        case core::ProcessFailure::TimedOut: break;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout).count();
    return core::fail(core::ErrorKind::Provider,
                      scheme + ": `" + program + "` timed out after " + std::to_string(seconds) + "s");
}

std::string_view trim_one_trailing_newline(std::string_view text) {
    if (!text.ends_with('\n')) return text;
    text.remove_suffix(1);
    if (text.ends_with('\r')) text.remove_suffix(1);
    return text;
}

core::SecretValue printed_value(const core::SecretValue& out) {
    return core::SecretValue::from_text(trim_one_trailing_newline(out.expose_secret_chars()));
}

}  // namespace tarnel::providers
