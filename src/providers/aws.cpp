#include "providers/aws.hpp"

#include <array>

#include "providers/failure.hpp"
#include "providers/reference.hpp"

namespace tarnel::providers {
namespace {

using namespace std::string_view_literals;

constexpr ClientName kAws{.scheme = "aws-sm", .program = "aws", .product = "AWS CLI"};
constexpr ReferenceShape kShape{.scheme = "aws-sm", .first_part = "region", .first_label = "region"};

bool is_region_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

bool is_secret_char(char c) { return is_ascii_alnum(c) || "/_+=.@-"sv.find(c) != std::string_view::npos; }

constexpr std::array kEndpointUnreachable{"could not connect to the endpoint"sv,
                                          "endpointconnectionerror"sv,
                                          "invalid region"sv,
                                          "could not be found for the region"sv,
                                          "failed to establish a new connection"sv,
                                          "nodename nor servname"sv,
                                          "name or service not known"sv,
                                          "getaddrinfo"sv};
constexpr std::array kNotSignedIn{"unable to locate credentials"sv,
                                  "expiredtoken"sv,
                                  "token has expired"sv,
                                  "the security token included in the request is expired"sv,
                                  "invalidclienttokenid"sv,
                                  "unrecognizedclientexception"sv,
                                  "accessdenied"sv,
                                  "not authorized to perform"sv,
                                  "sso session associated"sv,
                                  "forbidden"sv};
constexpr std::array kSecretMissing{"resourcenotfoundexception"sv, "can't find the specified secret"sv,
                                    "can't find the resource"sv, "was not found"sv, "not found"sv};
constexpr std::array<PhraseGroup, 3> kGroups{{
    {kEndpointUnreachable, "the region endpoint is unreachable or the region is invalid"},
    {kNotSignedIn,
     "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; check the IAM "
     "permission for secretsmanager:GetSecretValue)"},
    {kSecretMissing, "the secret was not found in the region (check the name and your access)"},
}};

}  // namespace

core::Result<AwsRef> AwsRef::parse(std::string_view reference) {
    auto parts = split_reference(reference, kShape);
    if (!parts) return core::fail(std::move(parts.error()));
    if (auto ok = check_segment(kAws.scheme, parts->first, "region", reference, is_region_char); !ok) {
        return core::fail(ok.error());
    }
    if (auto ok = check_segment(kAws.scheme, parts->secret, "secret name", reference, is_secret_char); !ok) {
        return core::fail(ok.error());
    }
    return AwsRef{std::string(parts->first), std::string(parts->secret)};
}

std::vector<std::string> AwsRef::aws_args() const {
    return {"secretsmanager", "get-secret-value", "--secret-id",  secret_name, "--region",
            region,           "--query",          "SecretString", "--output",  "text"};
}

core::CoreError classify_failure(const AwsRef& ref, std::optional<std::int32_t> code,
                                 std::span<const std::uint8_t> err) {
    const std::string_view message = message_for(err, kGroups, "the `aws` invocation failed");
    return core::CoreError(core::ErrorKind::Provider, "aws-sm: " + std::string(message) + " [region=`" + ref.region +
                                                          "`, secret=`" + ref.secret_name +
                                                          "`, exit=" + exit_description(code) + "]");
}

core::Result<AwsOutput> SystemAwsRunner::run(const std::vector<std::string>& args,
                                             std::chrono::milliseconds timeout) const {
    return run_client(kAws, args, timeout);
}

core::Result<core::SecretValue> AwsProvider::materialize(std::string_view reference) const {
    auto ref = AwsRef::parse(reference);
    if (!ref) return core::fail(std::move(ref.error()));
    // Holds what the client printed; wiped over its whole capacity when it goes.
    const auto output = runner_->run(ref->aws_args(), timeout_);
    if (!output) return core::fail(output.error());
    if (output->code != 0) return core::fail(classify_failure(*ref, output->code, output->err.expose_secret()));
    core::SecretValue value = printed_value(output->out);
    if (value.empty()) {
        return core::fail(core::ErrorKind::Provider, "aws-sm secret `" + ref->secret_name + "` in region `" +
                                                         ref->region + "` resolved to an empty value");
    }
    return value;
}

}  // namespace tarnel::providers
