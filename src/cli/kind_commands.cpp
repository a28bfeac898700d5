// The kinds besides literal values: ref, keypair and totp make them, code
// derives a one-time code from a TOTP enrolment.

#include <fmt/format.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/value_input.hpp"

namespace tarnel::cli {

namespace {

struct KindArgs {
    std::string coordinate;
    std::string uri;
    std::optional<std::string> project;
    std::optional<std::string> sensitivity;
    std::optional<std::string> description;
    std::optional<std::string> comment;
    std::optional<std::string> algorithm;
    std::optional<std::uint64_t> digits;
    std::optional<std::uint64_t> period;

    session::KindMetadata metadata() const { return {text_of(sensitivity), text_of(description)}; }

    static session::OptText text_of(const std::optional<std::string>& text) {
        return text ? session::OptText(*text) : std::nullopt;
    }
};

int run_ref(const GlobalOptions& options, const KindArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    auto view = session->set_reference(args.coordinate, args.uri, args.metadata(), KindArgs::text_of(args.project));
    if (!view) return report(view.error(), args.coordinate);
    fmt::print("ref {} ({}, {})\n", view->coordinate, view->sensitivity, view->fingerprint);
    return kExitOk;
}

int run_keypair(const GlobalOptions& options, const KindArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    auto made = session->create_keypair(args.coordinate, KindArgs::text_of(args.comment), args.metadata(),
                                        KindArgs::text_of(args.project));
    if (!made) return report(made.error(), args.coordinate);
    // Only the public key, so `tarnel keypair … > key.pub` gives a usable file.
    fmt::print("{}\n", made->public_line);
    return kExitOk;
}

int run_totp(const GlobalOptions& options, const KindArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    std::string error;
    auto enrolment = read_value(fmt::format("TOTP seed or otpauth URI for {}: ", args.coordinate),
                                session::kMaxEnrolmentBytes, error);
    if (!enrolment) {
        print_error(error);
        return kExitError;
    }
    const core::TotpSettings settings{KindArgs::text_of(args.algorithm), args.digits, args.period};
    auto view =
        session->enrol_totp(args.coordinate, *enrolment, settings, args.metadata(), KindArgs::text_of(args.project));
    if (!view) return report(view.error(), args.coordinate);
    fmt::print("totp {} ({}, {})\n", view->coordinate, view->sensitivity, view->mode);
    return kExitOk;
}

int run_code(const GlobalOptions& options, const KindArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    auto code = session->totp_code(args.coordinate, KindArgs::text_of(args.project));
    if (!code) return report(code.error(), args.coordinate);
    const auto digits = code->expose_secret();
    if (std::fwrite(digits.data(), 1, digits.size(), stdout) != digits.size() || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) != 0) {
        print_error("writing the code to standard output failed");
        return kExitError;
    }
    return kExitOk;
}

std::shared_ptr<KindArgs> add_common(CLI::App& command) {
    auto args = std::make_shared<KindArgs>();
    command.add_option("COORD", args->coordinate, "The secret, e.g. secret:dev/app/token")->required();
    command.add_option("--project", args->project, "The project vault (default: the global vault)");
    return args;
}

void add_metadata(CLI::App& command, KindArgs& args) {
    command.add_option("--sensitivity", args.sensitivity, "low, medium, high or inject-only");
    command.add_option("--description", args.description, "What the secret is for");
}

}  // namespace

void add_kind_commands(CLI::App& app, const GlobalOptions& options, int& status) {
    auto* ref = app.add_subcommand("ref", "Store a reference to a secret held by a cloud secret store");
    auto ref_args = add_common(*ref);
    ref->add_option("URI", ref_args->uri, "azure-kv://<vault>/<secret> or aws-sm://<region>/<secret>")->required();
    add_metadata(*ref, *ref_args);
    ref->footer("The value is fetched by the store's own client (az, aws) when a run needs it.");
    ref->callback([&options, &status, ref_args] { status = run_ref(options, *ref_args); });

    auto* keypair = app.add_subcommand("keypair", "Generate an ed25519 keypair and print its public key");
    auto keypair_args = add_common(*keypair);
    add_metadata(*keypair, *keypair_args);
    keypair->add_option("--comment", keypair_args->comment, "The public key's comment (default: the coordinate)");
    keypair->footer(
        "Both halves are stored in OpenSSH's formats. The private key is never printed; a run\n"
        "receives it through secret:...#private, the public key through #public.");
    keypair->callback([&options, &status, keypair_args] { status = run_keypair(options, *keypair_args); });

    auto* totp = app.add_subcommand("totp", "Enrol a TOTP seed (read from standard input, or asked without echo)");
    auto totp_args = add_common(*totp);
    add_metadata(*totp, *totp_args);
    totp->add_option("--algorithm", totp_args->algorithm, "sha1, sha256 or sha512, for a bare seed (default sha1)");
    totp->add_option("--digits", totp_args->digits, "6 to 10, for a bare seed (default 6)");
    totp->add_option("--period", totp_args->period, "Seconds per code, for a bare seed (default 30)");
    totp->footer(
        "Give an otpauth://totp/ URI, which carries its own settings, or a bare base32 seed.\n"
        "The seed never comes from an argument and is never shown again; see `tarnel code`.");
    totp->callback([&options, &status, totp_args] { status = run_totp(options, *totp_args); });

    auto* code = app.add_subcommand("code", "Print the current code of a TOTP enrolment");
    auto code_args = add_common(*code);
    code->footer(
        "A code is handed out like a value by get: high and prod enrolments need your confirmation\n"
        "on this terminal (without one they are refused), inject-only ones are always refused.");
    code->callback([&options, &status, code_args] { status = run_code(options, *code_args); });
}

}  // namespace tarnel::cli
