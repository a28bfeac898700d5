// The AWS provider against the real AWS CLI talking to moto_server. Run
// through with_moto.sh, which starts the server and points the CLI at it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

#include "core/base/fd.hpp"
#include "core/run/process.hpp"
#include "providers/aws.hpp"
#include "providers/scoped_env.hpp"
#include "support/test_support.hpp"

namespace tarnel::providers {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;

// Generous: one CLI start costs about half a second of Python, more under load.
constexpr auto kTimeOut = 60s;

class AwsLive : public ::testing::Test {
protected:
    void SetUp() override {
        // Never let these tests reach a real account.
        const char* endpoint = std::getenv("AWS_ENDPOINT_URL");
        ASSERT_TRUE(endpoint != nullptr && std::string_view(endpoint).starts_with("http://127.0.0.1:"))
            << "run through tests/providers/with_moto.sh";
    }

    static void create_secret(const std::string& name, const std::string& value) {
        const core::ProcessSpec spec{.program = "aws",
                                     .args = {"secretsmanager", "create-secret", "--region", "us-east-1", "--name",
                                              name, "--secret-string", value},
                                     .timeout = kTimeOut};
        auto created = core::run_process(spec, core::ChildEnvironment::inherited_without_vault_settings());
        ASSERT_TRUE(created);
        ASSERT_EQ(created->code, 0) << created->err.expose_secret_chars();
    }

    static std::string fetch(std::string_view reference) {
        auto result = AwsProvider(kTimeOut).materialize(reference);
        if (!result) return "error: " + result.error().detail();
        return std::string(result->expose_secret_chars());
    }
};

TEST_F(AwsLive, FetchesTheValueWithoutTheAddedLineFeed) {
    create_secret("team/db", "s3cr3t value");
    create_secret("trailing", "two lines\n");
    EXPECT_EQ(fetch("aws-sm://us-east-1/team/db"), "s3cr3t value");
    EXPECT_EQ(fetch("aws-sm://us-east-1/trailing"), "two lines\n");
}

TEST_F(AwsLive, ClassifiesAMissingSecret) {
    EXPECT_EQ(fetch("aws-sm://us-east-1/absent"),
              "error: aws-sm: the secret was not found in the region (check the name and your access) "
              "[region=`us-east-1`, secret=`absent`, exit=255]");
}

TEST_F(AwsLive, ClassifiesMissingCredentials) {
    TempDir dir;
    const ScopedEnv key("AWS_ACCESS_KEY_ID", std::nullopt);
    const ScopedEnv secret("AWS_SECRET_ACCESS_KEY", std::nullopt);
    const ScopedEnv credentials("AWS_SHARED_CREDENTIALS_FILE", (dir.path() / "credentials").string());
    const ScopedEnv config("AWS_CONFIG_FILE", (dir.path() / "config").string());
    const ScopedEnv no_instance_metadata("AWS_EC2_METADATA_DISABLED", "true");
    EXPECT_EQ(fetch("aws-sm://us-east-1/absent"),
              "error: aws-sm: aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; "
              "check the IAM permission for secretsmanager:GetSecretValue) [region=`us-east-1`, secret=`absent`, "
              "exit=255]");
}

TEST_F(AwsLive, ClassifiesAnEndpointThatIsDown) {
    // Bound but not listening: connections to it are refused.
    core::UniqueFd closed(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(closed);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(closed.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(closed.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);

    const ScopedEnv endpoint("AWS_ENDPOINT_URL", "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    const ScopedEnv one_attempt("AWS_MAX_ATTEMPTS", "1");
    EXPECT_EQ(fetch("aws-sm://us-east-1/team/db"),
              "error: aws-sm: the region endpoint is unreachable or the region is invalid [region=`us-east-1`, "
              "secret=`team/db`, exit=255]");
}

}  // namespace
}  // namespace tarnel::providers
