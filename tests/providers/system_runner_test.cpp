#include <fcntl.h>
#include <unistd.h>

#include "providers/aws.hpp"
#include "providers/azure.hpp"
#include "providers/scoped_env.hpp"
#include "support/test_support.hpp"

namespace tarnel::providers {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Stand-in clients in a private directory put first on PATH, where the
// system runners look for "az" and "aws".
class StandInClient : public ::testing::Test {
protected:
    void install(const std::string& name, const std::string& body) {
        const auto path = bin_ / name;
        write_file(path, "#!/bin/sh\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
    }

    std::string fetch(const core::SecretProvider& provider, std::string_view reference) {
        auto result = provider.materialize(reference);
        if (!result) {
            EXPECT_EQ(result.error().kind(), core::ErrorKind::Provider);
            return "error: " + result.error().detail();
        }
        return std::string(result->expose_secret_chars());
    }

    TempDir dir_;
    fs::path bin_ = [this] {
        fs::create_directory(dir_.path() / "bin");
        return dir_.path() / "bin";
    }();
    ScopedEnv path_{"PATH", bin_.string() + ":" + ::getenv("PATH")};
};

TEST_F(StandInClient, RunsTheClientWithExactlyTheArguments) {
    install("az", R"([ $# -eq 11 ] && [ "$*" = "keyvault secret show --vault-name v --name s --query value -o tsv" ] ||
    { echo "unexpected arguments: $*" >&2; exit 9; }
printf 'az value\n')");
    install("aws", R"([ $# -eq 10 ] && [ "$*" = "secretsmanager get-secret-value --secret-id team/db --region us-east-1 --query SecretString --output text" ] ||
    { echo "unexpected arguments: $*" >&2; exit 9; }
printf 'aws value\r\n')");
    EXPECT_EQ(fetch(AzureProvider(10s), "azure-kv://v/s"), "az value");
    EXPECT_EQ(fetch(AwsProvider(10s), "aws-sm://us-east-1/team/db"), "aws value");
}

TEST_F(StandInClient, ClassifiesTheClientsFailures) {
    install("az", R"(echo "ERROR: Please run 'az login' to setup account." >&2; exit 1)");
    EXPECT_EQ(fetch(AzureProvider(10s), "azure-kv://v/s"),
              "error: azure-kv: az is not authenticated or lacks access (run `az login`; check the tenant and the "
              "vault access policy) [vault=`v`, secret=`s`, exit=1]");
    install("aws", "echo partial; kill -KILL $$");
    EXPECT_EQ(fetch(AwsProvider(10s), "aws-sm://us-east-1/s"),
              "error: aws-sm: the `aws` invocation failed [region=`us-east-1`, secret=`s`, exit=signal]");
}

TEST_F(StandInClient, KillsAClientThatOutlivesItsTimeOut) {
    install("az", "exec sleep 30");
    const auto start = Steady::now();
    EXPECT_EQ(fetch(AzureProvider(1s), "azure-kv://v/s"), "error: azure-kv: `az` timed out after 1s");
    EXPECT_LT(Steady::now() - start, 10s);
}

TEST_F(StandInClient, ReportsAMissingClient) {
    const ScopedEnv only_ours("PATH", bin_.string());
    EXPECT_EQ(fetch(AwsProvider(10s), "aws-sm://us-east-1/s"),
              "error: aws-sm: could not run `aws` — is the AWS CLI installed and on PATH? (No such file or directory "
              "(os error 2))");
    EXPECT_EQ(fetch(AzureProvider(10s), "azure-kv://v/s"),
              "error: azure-kv: could not run `az` — is the Azure CLI installed and on PATH? (No such file or "
              "directory (os error 2))");
}

TEST_F(StandInClient, GetsNoStandardInputAndNoVaultSettings) {
    // Our own standard input has a line waiting, as a stdio server's would.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(::write(ends[1], "protocol message\n", 17), 17);
    const int saved_stdin = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    ::dup2(ends[0], 0);
    install("az", R"(if read -r line; then echo "read: $line"; else echo eof; fi)");
    const std::string stdin_seen = fetch(AzureProvider(10s), "azure-kv://v/s");
    ::dup2(saved_stdin, 0);
    for (int fd : {saved_stdin, ends[0], ends[1]}) ::close(fd);
    EXPECT_EQ(stdin_seen, "eof");

    const ScopedEnv passphrase("TARNEL_PASSPHRASE", "do not pass on");
    const ScopedEnv vault_dir("TARNEL_VAULT_DIR", "/somewhere");
    const ScopedEnv marker("CLIENT_MARKER", "inherited");
    install("aws", "env");
    const std::string env_seen = fetch(AwsProvider(10s), "aws-sm://us-east-1/s");
    EXPECT_NE(env_seen.find("CLIENT_MARKER=inherited\n"), std::string::npos) << env_seen;
    EXPECT_EQ(env_seen.find("TARNEL_"), std::string::npos) << env_seen;
}

}  // namespace
}  // namespace tarnel::providers
