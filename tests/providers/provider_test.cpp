#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "providers/aws.hpp"
#include "providers/azure.hpp"
#include "providers/client.hpp"

namespace tarnel::providers {
namespace {

using namespace std::chrono_literals;
using core::ErrorKind;
using core::SecretValue;

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

template <class Parsed>
std::string error_of(const core::Result<Parsed>& result) {
    if (result) return "(parsed)";
    EXPECT_EQ(result.error().kind(), ErrorKind::Provider);
    return result.error().detail();
}

// Expected parse outcome: the two parts, or the error detail.
struct ParseCase {
    std::string reference;
    std::string first;
    std::string secret;
    std::string error;
};

TEST(AzureRef, ParsesInTheSpecifiedOrder) {
    const std::string dash = " starting with `-` (refused — it could be read as a CLI flag)";
    const std::vector<ParseCase> cases = {
        {"azure-kv://v/s", "v", "s", ""},
        {"azure-kv://My-Vault-01/Db-Pass", "My-Vault-01", "Db-Pass", ""},
        {"azure-kv:/v/s", "", "", "reference `azure-kv:/v/s` is not an `azure-kv://<vault>/<secret>` URI"},
        {"aws-sm://v/s", "", "", "reference `aws-sm://v/s` is not an `azure-kv://<vault>/<secret>` URI"},
        {"azure-kv://v", "", "", "azure-kv reference `azure-kv://v` is missing the `/<secret-name>` part"},
        {"azure-kv:///s", "", "", "azure-kv reference `azure-kv:///s` has an empty vault name"},
        {"azure-kv://v/", "", "", "azure-kv reference `azure-kv://v/` has an empty secret name"},
        {"azure-kv://v/a/b", "", "", "azure-kv reference `azure-kv://v/a/b` has an unexpected `/` in the secret name"},
        // The "/" check comes before the segment checks, the vault before the secret.
        {"azure-kv://-v/a/b", "", "", "azure-kv reference `azure-kv://-v/a/b` has an unexpected `/` in the secret name"},
        {"azure-kv://-v/s", "", "", "azure-kv reference `azure-kv://-v/s` has a vault name" + dash},
        {"azure-kv://v_x/-s", "", "", "azure-kv reference `azure-kv://v_x/-s` has an invalid character in the vault name"},
        {"azure-kv://v/-s", "", "", "azure-kv reference `azure-kv://v/-s` has a secret name" + dash},
        {"azure-kv://v/s.x", "", "", "azure-kv reference `azure-kv://v/s.x` has an invalid character in the secret name"},
        {"azure-kv://v/s\xc3\xa9", "", "", "azure-kv reference `azure-kv://v/s\xc3\xa9` has an invalid character in the secret name"},
    };
    for (const auto& c : cases) {
        auto parsed = AzureRef::parse(c.reference);
        if (c.error.empty()) {
            ASSERT_TRUE(parsed) << c.reference << ": " << parsed.error().detail();
            EXPECT_EQ(parsed->vault_name, c.first);
            EXPECT_EQ(parsed->secret_name, c.secret);
        } else {
            EXPECT_EQ(error_of(parsed), c.error) << c.reference;
        }
    }
    EXPECT_EQ(error_of(validate_segment("-x", "vault name", "R")),
              "azure-kv reference `R` has a vault name" + dash);
}

TEST(AwsRef, ParsesInTheSpecifiedOrder) {
    const std::string dash = " starting with `-` (refused — it could be read as a CLI flag)";
    const std::vector<ParseCase> cases = {
        {"aws-sm://us-east-1/team/db", "us-east-1", "team/db", ""},
        {"aws-sm://eu-west-2/a_b+c=d.e@f-G/9", "eu-west-2", "a_b+c=d.e@f-G/9", ""},
        {"azure-kv://v/s", "", "", "reference `azure-kv://v/s` is not an `aws-sm://<region>/<secret>` URI"},
        {"aws-sm://us-east-1", "", "", "aws-sm reference `aws-sm://us-east-1` is missing the `/<secret-name>` part"},
        {"aws-sm:///s", "", "", "aws-sm reference `aws-sm:///s` has an empty region"},
        {"aws-sm://us-east-1/", "", "", "aws-sm reference `aws-sm://us-east-1/` has an empty secret name"},
        {"aws-sm://US-EAST-1/s", "", "", "aws-sm reference `aws-sm://US-EAST-1/s` has an invalid character in the region"},
        {"aws-sm://-us/-s", "", "", "aws-sm reference `aws-sm://-us/-s` has a region" + dash},
        {"aws-sm://us/-s", "", "", "aws-sm reference `aws-sm://us/-s` has a secret name" + dash},
        {"aws-sm://us/a b", "", "", "aws-sm reference `aws-sm://us/a b` has an invalid character in the secret name"},
        {"aws-sm://us/\xc3\xbc", "", "", "aws-sm reference `aws-sm://us/\xc3\xbc` has an invalid character in the secret name"},
    };
    for (const auto& c : cases) {
        auto parsed = AwsRef::parse(c.reference);
        if (c.error.empty()) {
            ASSERT_TRUE(parsed) << c.reference << ": " << parsed.error().detail();
            EXPECT_EQ(parsed->region, c.first);
            EXPECT_EQ(parsed->secret_name, c.secret);
        } else {
            EXPECT_EQ(error_of(parsed), c.error) << c.reference;
        }
    }
}

TEST(ClientArguments, AreExactlyTheSpecifiedLists) {
    EXPECT_EQ(AzureRef::parse("azure-kv://v/s")->az_args(),
              (std::vector<std::string>{"keyvault", "secret", "show", "--vault-name", "v", "--name", "s", "--query",
                                        "value", "-o", "tsv"}));
    EXPECT_EQ(AwsRef::parse("aws-sm://us-east-1/team/db")->aws_args(),
              (std::vector<std::string>{"secretsmanager", "get-secret-value", "--secret-id", "team/db", "--region",
                                        "us-east-1", "--query", "SecretString", "--output", "text"}));
}

TEST(ClassifyFailure, AzurePhrasesInOrder) {
    const AzureRef ref{"v", "s"};
    const std::string auth = "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)";
    const std::string vault = "the vault was not found or is unreachable";
    const std::string secret = "the secret was not found in the vault (check the name and your access)";
    const struct {
        std::optional<std::int32_t> code;
        std::string err;
        std::string message;
        std::string exit;
    } cases[] = {
        {3, "Operation returned: FoRbIdDeN", auth, "3"},
        {1, "ERROR: Please run 'az login' to setup account.", auth, "1"},
        // An earlier group wins wherever its phrase stands.
        {1, "SecretNotFound ... unauthorized", auth, "1"},
        {1, "(VaultNotFound) the secret was not found", vault, "1"},
        {1, "vault not found", secret, "1"},
        {2, "\xff\xfe(SecretNotFound)\xc3", secret, "2"},
        {255, "something else", "the `az` invocation failed", "255"},
        {std::nullopt, "", "the `az` invocation failed", "signal"},
    };
    for (const auto& c : cases) {
        const core::CoreError error = classify_failure(ref, c.code, bytes(c.err));
        EXPECT_EQ(error.kind(), ErrorKind::Provider);
        EXPECT_EQ(error.detail(), "azure-kv: " + c.message + " [vault=`v`, secret=`s`, exit=" + c.exit + "]") << c.err;
    }
}

TEST(ClassifyFailure, AwsPhrasesInOrder) {
    const AwsRef ref{"us-east-1", "team/db"};
    const std::string endpoint = "the region endpoint is unreachable or the region is invalid";
    const std::string auth =
        "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; check the IAM "
        "permission for secretsmanager:GetSecretValue)";
    const std::string secret = "the secret was not found in the region (check the name and your access)";
    const struct {
        std::string err;
        std::string message;
    } cases[] = {
        {"Unable to locate credentials. Could not connect to the endpoint URL", endpoint},
        {"An error occurred (AccessDeniedException): secret not found", auth},
        {"An error occurred (ResourceNotFoundException) when calling the GetSecretValue operation: Secrets Manager "
         "can't find the specified secret.",
         secret},
        {"", "the `aws` invocation failed"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify_failure(ref, 255, bytes(c.err)).detail(),
                  "aws-sm: " + c.message + " [region=`us-east-1`, secret=`team/db`, exit=255]")
            << c.err;
    }
}

TEST(TrimOneTrailingNewline, RemovesOneLineEndOnly) {
    EXPECT_EQ(trim_one_trailing_newline("v\r\n"), "v");
    EXPECT_EQ(trim_one_trailing_newline("v\n\n"), "v\n");
    EXPECT_EQ(trim_one_trailing_newline("v\r"), "v\r");
    EXPECT_EQ(trim_one_trailing_newline(" v\t \n"), " v\t ");
    EXPECT_EQ(trim_one_trailing_newline("\n"), "");
}

// Plays a client: remembers what it was asked and answers as scripted.
template <class Runner>
class ScriptedRunner final : public Runner {
public:
    ScriptedRunner(std::string out, std::optional<std::int32_t> code, std::string err = {})
        : out_(std::move(out)), err_(std::move(err)), code_(code) {}

    core::Result<core::ProcessOutput> run(const std::vector<std::string>& args,
                                          std::chrono::milliseconds timeout) const override {
        seen_args = args;
        seen_timeout = timeout;
        return core::ProcessOutput{SecretValue::from_text(out_), SecretValue::from_text(err_), code_};
    }

    mutable std::optional<std::vector<std::string>> seen_args;
    mutable std::chrono::milliseconds seen_timeout{};

private:
    std::string out_;
    std::string err_;
    std::optional<std::int32_t> code_;
};

std::string value_of(const core::Result<SecretValue>& result) {
    if (!result) return "error: " + result.error().detail();
    return std::string(result->expose_secret_chars());
}

TEST(AzureProvider, ReturnsThePrintedValueOrTheRightError) {
    ScriptedRunner<AzRunner> crlf("p@ss word\r\n", 0);
    const AzureProvider provider(7s, crlf);
    EXPECT_EQ(provider.scheme(), "azure-kv");
    EXPECT_EQ(value_of(provider.materialize("azure-kv://v/s")), "p@ss word");
    EXPECT_EQ(crlf.seen_args, AzureRef::parse("azure-kv://v/s")->az_args());
    EXPECT_EQ(crlf.seen_timeout, 7s);

    ScriptedRunner<AzRunner> line_feed_only("\n", 0);
    EXPECT_EQ(value_of(AzureProvider(7s, line_feed_only).materialize("azure-kv://v/s")),
              "error: azure-kv secret `s` in vault `v` resolved to an empty value");

    // A value printed with a failing exit is not a value.
    ScriptedRunner<AzRunner> failed("value\n", 1, "ERROR: Please run 'az login' to setup account.");
    EXPECT_EQ(value_of(AzureProvider(7s, failed).materialize("azure-kv://v/s")),
              "error: azure-kv: az is not authenticated or lacks access (run `az login`; check the tenant and the "
              "vault access policy) [vault=`v`, secret=`s`, exit=1]");

    ScriptedRunner<AzRunner> unused("value\n", 0);
    EXPECT_EQ(value_of(AzureProvider(7s, unused).materialize("azure-kv://-v/s")),
              "error: azure-kv reference `azure-kv://-v/s` has a vault name starting with `-` (refused — it could be "
              "read as a CLI flag)");
    EXPECT_FALSE(unused.seen_args);
}

TEST(AwsProvider, ReturnsThePrintedValueOrTheRightError) {
    auto owned = std::make_unique<ScriptedRunner<AwsRunner>>("line one\nline two\n\n", 0);
    const auto& runner = *owned;
    const AwsProvider provider(3s, std::move(owned));
    EXPECT_EQ(provider.scheme(), "aws-sm");
    EXPECT_EQ(value_of(provider.materialize("aws-sm://us-east-1/team/db")), "line one\nline two\n");
    EXPECT_EQ(runner.seen_args, AwsRef::parse("aws-sm://us-east-1/team/db")->aws_args());

    ScriptedRunner<AwsRunner> empty("", 0);
    EXPECT_EQ(value_of(AwsProvider(3s, empty).materialize("aws-sm://us-east-1/team/db")),
              "error: aws-sm secret `team/db` in region `us-east-1` resolved to an empty value");
}

}  // namespace
}  // namespace tarnel::providers
