#include <unistd.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "session_fixture.hpp"
#include "writes_support.hpp"

namespace tarnel::ffi {
namespace {

using namespace fixture;
using namespace writes;
using core::Operation;
using Names = std::set<std::string, std::less<>>;

class RequestTest : public ::testing::Test {
protected:
    fs::path intake_dir() const { return vault_.root() / "intake"; }

    std::string intake_json(const std::string& id) const {
        auto json = read_file(intake_dir() / (id + ".json"));
        EXPECT_TRUE(json) << id;
        return json.value_or("");
    }

    TempVault vault_;
    Session session_ = vault_.session();
};

TEST_F(RequestTest, WritesOneIntakeFileWithEveryKeyInOrder) {
    auto id = session_.request_intake("secret:dev/app/token", std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(id) << id.error().message();
    EXPECT_EQ(names_in(intake_dir()), std::set<std::string>{*id + ".json"});
    EXPECT_EQ(mode_of(intake_dir() / (*id + ".json")), 0600U);

    // secs-pid-seq
    const auto first = id->find('-');
    const auto second = id->find('-', first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(id->substr(first + 1, second - first - 1), std::to_string(::getpid()));

    const std::string json = intake_json(*id);
    rapidjson::Document doc;
    doc.Parse(json.c_str());
    ASSERT_FALSE(doc.HasParseError());
    const std::string created = std::to_string(doc["created_unix"].GetUint64());
    EXPECT_EQ(json, R"({"id":")" + *id + R"(","created_unix":)" + created +
                        R"(,"coordinate":"secret:dev/app/token","sensitivity":"medium","environment":"dev",)"
                        R"("origin":"agent","requesting_process":null,"description":null,"project":null})");
}

TEST_F(RequestTest, OptionalFieldsAreWrittenAndTheCoordinateKeptAsGiven) {
    auto id = session_.request_intake("secret://global/dev/db/password#private", "Inject_Only", "the db password",
                                      "alpha", "claude-desktop/1.2");
    ASSERT_TRUE(id) << id.error().message();
    rapidjson::Document doc;
    doc.Parse(intake_json(*id).c_str());
    ASSERT_FALSE(doc.HasParseError());
    EXPECT_STREQ(doc["coordinate"].GetString(), "secret://global/dev/db/password#private");
    EXPECT_STREQ(doc["sensitivity"].GetString(), "inject-only");
    EXPECT_STREQ(doc["environment"].GetString(), "dev");
    EXPECT_STREQ(doc["requesting_process"].GetString(), "claude-desktop/1.2");
    EXPECT_STREQ(doc["description"].GetString(), "the db password");
    EXPECT_STREQ(doc["project"].GetString(), "alpha");
}

TEST_F(RequestTest, AnEmptyProjectIsNoProjectButAnEmptyDescriptionStays) {
    auto id = session_.request_intake("secret:dev/app/token", std::nullopt, "", "", std::nullopt);
    ASSERT_TRUE(id);
    rapidjson::Document doc;
    doc.Parse(intake_json(*id).c_str());
    EXPECT_TRUE(doc["project"].IsNull());
    EXPECT_STREQ(doc["description"].GetString(), "");
}

TEST_F(RequestTest, ScopeComesBeforeTheSensitivityWord) {
    Session no_write = vault_.session(scope_of({Operation::Metadata, Operation::Reveal, Operation::Inject}));
    auto denied = no_write.request_intake("secret:dev/app/token", "nonsense", std::nullopt, std::nullopt, std::nullopt);
    ASSERT_FALSE(denied);
    EXPECT_TRUE(is_not_found(denied.error()));

    Session alpha_only = vault_.session(scope_of({Operation::Write}, Names{"alpha"}));
    EXPECT_TRUE(is_not_found(
        alpha_only.request_intake("secret:dev/app/token", std::nullopt, std::nullopt, std::nullopt, std::nullopt).error()));
    EXPECT_TRUE(is_not_found(
        alpha_only.request_intake("secret:dev/app/token", std::nullopt, std::nullopt, "beta", std::nullopt).error()));
    Session dev_only = vault_.session(scope_of({Operation::Write}, std::nullopt, Names{"dev"}));
    EXPECT_TRUE(is_not_found(
        dev_only.request_intake("secret:prod/app/token", std::nullopt, std::nullopt, std::nullopt, std::nullopt).error()));

    auto unknown = session_.request_intake("secret:dev/app/token", "secret", std::nullopt, std::nullopt, std::nullopt);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(other_text(unknown.error()), "unknown sensitivity `secret` (expected low|medium|high|inject-only)");

    auto placeholder = session_.request_intake("secret:${ENV}/app/token", std::nullopt, std::nullopt, std::nullopt,
                                               std::nullopt);
    ASSERT_FALSE(placeholder);
    EXPECT_TRUE(other_text(placeholder.error()));
    EXPECT_FALSE(fs::exists(intake_dir()));
}

TEST_F(RequestTest, NeitherAuditedNorTouchingRecords) {
    vault_.put(literal("dev/app/token", "exists"));
    const auto before = names_in(vault_.dir());
    ASSERT_TRUE(session_.request_intake("secret:dev/app/token", std::nullopt, std::nullopt, std::nullopt, std::nullopt));
    ASSERT_TRUE(session_.request_intake("secret:dev/app/new", "high", std::nullopt, "alpha", std::nullopt));
    EXPECT_EQ(vault_.audit_bytes(), "");
    EXPECT_EQ(names_in(vault_.dir()), before);
    EXPECT_FALSE(fs::exists(vault_.dir("alpha")));
}

TEST_F(RequestTest, IdentifiersAreUniqueAcrossSessionsAndThreads) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    std::vector<Session> sessions;
    sessions.push_back(vault_.session());
    sessions.push_back(vault_.session());
    std::mutex mutex;
    std::vector<std::string> ids;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto id = sessions[static_cast<std::size_t>(t % 2)].request_intake(
                    "secret:dev/app/k" + std::to_string(t) + "-" + std::to_string(i), std::nullopt, std::nullopt,
                    std::nullopt, std::nullopt);
                ASSERT_TRUE(id);
                std::lock_guard guard(mutex);
                ids.push_back(*id);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::set<std::string> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(names_in(intake_dir()).size(), distinct.size());
    for (const std::string& id : distinct) {
        rapidjson::Document doc;
        doc.Parse(intake_json(id).c_str());
        ASSERT_FALSE(doc.HasParseError());
        EXPECT_EQ(std::string(doc["id"].GetString()), id);
    }
}

}  // namespace
}  // namespace tarnel::ffi
