// The azure-kv:// and aws-sm:// providers against stand-in clients: scripts
// named az and aws in a private directory put first on PATH. Each script
// first checks it was given exactly the client's arguments.

#include "providers/aws.hpp"
#include "providers/azure.hpp"
#include "support/test_support.hpp"

namespace tarnel::providers {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;

TEST(Providers, FetchThroughTheClientOrSayWhyNot) {
    const std::string auth_az =
        "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)";
    const std::string auth_aws =
        "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; "
        "check the IAM permission for secretsmanager:GetSecretValue)";
    const auto az = [](std::string message, std::string exit) {
        return "error: azure-kv: " + message + " [vault=`v`, secret=`s`, exit=" + exit + "]";
    };
    const auto aws = [](std::string message) {
        return "error: aws-sm: " + message + " [region=`us-east-1`, secret=`team/db`, exit=255]";
    };
    const auto bad = [](std::string ref, std::string what) {
        return "error: " + ref.substr(0, ref.find(':')) + " reference `" + ref + "` " + what;
    };
    const std::string dash = " starting with `-` (refused \u2014 it could be read as a CLI flag)";
    const std::string az_secret = "the secret was not found in the vault (check the name and your access)";
    // az or aws, the client's script (nullopt: no such client on PATH), and the value fetched from
    // azure-kv://v/s or aws-sm://us-east-1/team/db, or "error: " and the provider's text
    // clang-format off: one case a row
    const std::tuple<std::string, std::optional<std::string>, std::string> rows[] = {
        {"az", "printf 'p@ss word\\r\\n'", "p@ss word"},
        {"az", "echo", "error: azure-kv secret `s` in vault `v` resolved to an empty value"},
        // A value printed with a failing exit is not a value.
        {"az", "echo value; echo \"ERROR: Please run 'az login' to setup account.\" >&2; exit 1", az(auth_az, "1")},
        {"az", "echo 'Operation returned: FoRbIdDeN' >&2; exit 3", az(auth_az, "3")},
        // An earlier group wins wherever its phrase stands.
        {"az", "echo 'SecretNotFound ... unauthorized' >&2; exit 1", az(auth_az, "1")},
        {"az", "echo '(VaultNotFound) the secret was not found' >&2; exit 1", az("the vault was not found or is unreachable", "1")},
        {"az", "echo 'vault not found' >&2; exit 1", az(az_secret, "1")},
        {"az", "printf '\\377\\376(SecretNotFound)\\303' >&2; exit 2", az(az_secret, "2")},
        {"az", "echo something else >&2; exit 255", az("the `az` invocation failed", "255")},
        {"az", "echo partial; kill -KILL $$", az("the `az` invocation failed", "signal")},
        {"az", "exec sleep 30", "error: azure-kv: `az` timed out after 1s"},  // run with a time-out of 1s
        {"az", std::nullopt, "error: azure-kv: could not run `az` \u2014 is the Azure CLI installed and on PATH? (No such file or directory (os error 2))"},
        {"aws", "printf 'two\\nlines\\r\\n\\r\\n'", "two\nlines\r\n"},
        {"aws", ":", "error: aws-sm secret `team/db` in region `us-east-1` resolved to an empty value"},
        {"aws", "echo 'Unable to locate credentials. Could not connect to the endpoint URL' >&2; exit 255", aws("the region endpoint is unreachable or the region is invalid")},
        {"aws", "echo 'An error occurred (AccessDeniedException): secret not found' >&2; exit 255", aws(auth_aws)},
        {"aws", "echo \"Secrets Manager can't find the specified secret.\" >&2; exit 255", aws("the secret was not found in the region (check the name and your access)")},
        {"aws", "exit 255", aws("the `aws` invocation failed")},
        // Guards: the vault's TARNEL_ settings reached the client's environment.
        {"aws", "printf '%s:' \"$CLIENT_MARKER\"; env | grep -c '^TARNEL_' || :", "inherited:0"},
        {"aws", std::nullopt, "error: aws-sm: could not run `aws` \u2014 is the AWS CLI installed and on PATH? (No such file or directory (os error 2))"},
    };
    // References refused before any client runs: the client, the reference, the refusal.
    const std::tuple<std::string, std::string, std::string> refused[] = {
        {"az", "azure-kv:/v/s", "error: reference `azure-kv:/v/s` is not an `azure-kv://<vault>/<secret>` URI"},
        // The "/" check comes before the segment checks, the vault before the secret.
        {"az", "azure-kv://-v/a/b", bad("azure-kv://-v/a/b", "has an unexpected `/` in the secret name")},
        {"az", "azure-kv://-v/s", bad("azure-kv://-v/s", "has a vault name" + dash)},
        {"az", "azure-kv://v_x/-s", bad("azure-kv://v_x/-s", "has an invalid character in the vault name")},
        {"aws", "azure-kv://v/s", "error: reference `azure-kv://v/s` is not an `aws-sm://<region>/<secret>` URI"},
        {"aws", "aws-sm://US-EAST-1/s", bad("aws-sm://US-EAST-1/s", "has an invalid character in the region")},
        {"aws", "aws-sm://us/a b", bad("aws-sm://us/a b", "has an invalid character in the secret name")},
    };
    // clang-format on
    const std::string arguments_az = "keyvault secret show --vault-name v --name s --query value -o tsv";
    const std::string arguments_aws =
        "secretsmanager get-secret-value --secret-id team/db --region us-east-1 --query SecretString --output text";
    const TempDir dir;
    const fs::path bin = dir.path() / "bin";
    fs::create_directory(bin);
    const ScopedEnv passphrase("TARNEL_PASSPHRASE", "do not pass on"), vault_dir("TARNEL_VAULT_DIR", "/somewhere"),
        marker("CLIENT_MARKER", "inherited");
    const auto fetch = [](const std::string& client, const std::string& reference, std::chrono::seconds timeout) {
        auto fetched = client == "az" ? AzureProvider(timeout).materialize(reference)
                                      : AwsProvider(timeout).materialize(reference);
        EXPECT_TRUE(fetched || fetched.error().kind() == core::ErrorKind::Provider);
        return fetched ? std::string(fetched->expose_secret_chars()) : "error: " + fetched.error().detail();
    };
    for (const auto& [client, script, expected] : rows) {
        SCOPED_TRACE(client + ": " + script.value_or("no client"));
        for (const char* name : {"az", "aws"}) fs::remove(bin / name);
        if (script) {
            const bool is_az = client == "az";
            write_file(bin / client, "#!/bin/sh\n[ $# -eq " + std::string(is_az ? "11" : "10") + " ] && [ \"$*\" = \"" +
                                         (is_az ? arguments_az : arguments_aws) +
                                         "\" ] || { echo \"unexpected arguments: $*\" >&2; exit 9; }\n" + *script +
                                         "\n");
            fs::permissions(bin / client, fs::perms::owner_all);
        }
        const ScopedEnv path("PATH", script ? bin.string() + ":" + ::getenv("PATH") : bin.string());
        const bool slow = script && script->starts_with("exec sleep");
        EXPECT_EQ(fetch(client, client == "az" ? "azure-kv://v/s" : "aws-sm://us-east-1/team/db", slow ? 1s : 10s),
                  expected);
    }
    const ScopedEnv no_clients("PATH", (dir.path() / "none").string());  // a refusal that fails runs nothing
    for (const auto& [client, reference, expected] : refused) EXPECT_EQ(fetch(client, reference, 10s), expected);
}

}  // namespace
}  // namespace tarnel::providers
