#include "core/oversight/audit.hpp"

#include <rapidjson/reader.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "core/oversight/clock.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

namespace fs = std::filesystem;

std::vector<std::string> lines_of(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool parses_as_json_object(const std::string& line) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(line.c_str());
    return !reader.Parse(stream, handler).IsError() && line.front() == '{';
}

TEST(AuditEventJson, KeysInFieldOrderAndAbsentOnesLeftOut) {
    EXPECT_EQ(*AuditEvent("2026-01-02T03:04:05Z", AuditAction::Delete, "deleted").to_json(),
              R"({"ts":"2026-01-02T03:04:05Z","action":"delete","result":"deleted"})");
    AuditEvent full = AuditEvent("t", AuditAction::Reveal, "revealed").at("dev/app/db", "dev").by(Actor::Agent);
    full.fingerprint = "0123abcd";
    full.requester_note = "note";
    EXPECT_EQ(*full.to_json(),
              R"({"ts":"t","action":"reveal","coordinate":"dev/app/db","environment":"dev",)"
              R"("result":"revealed","origin":"agent","fingerprint":"0123abcd","requester_note":"note"})");
    const auto escaped = *AuditEvent("t", AuditAction::Edit, "x").at("a\"b\\c\nd\x01", "é").to_json();
    EXPECT_EQ(escaped, "{\"ts\":\"t\",\"action\":\"edit\",\"coordinate\":\"a\\\"b\\\\c\\nd\\u0001\","
                       "\"environment\":\"é\",\"result\":\"x\"}");
    EXPECT_EQ(AuditEvent("t", AuditAction::Approve, "y").by(Actor::Human).origin, "human");
    const auto broken = AuditEvent("t", AuditAction::Edit, "x").at("\xff", "dev").to_json();
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().kind(), ErrorKind::Serialization);
}

TEST(Rfc3339, CivilDatesAndRollovers) {
    EXPECT_EQ(format_rfc3339_utc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(format_rfc3339_utc(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(format_rfc3339_utc(1767225599), "2025-12-31T23:59:59Z");
    EXPECT_EQ(format_rfc3339_utc(1767225600), "2026-01-01T00:00:00Z");
    EXPECT_EQ(format_rfc3339_utc(4107542399), "2100-02-28T23:59:59Z");
    EXPECT_EQ(format_rfc3339_utc(4107542400), "2100-03-01T00:00:00Z");
    EXPECT_EQ(format_rfc3339_utc(253402300800), "10000-01-01T00:00:00Z");
    const auto now = SystemClock().now_rfc3339();
    EXPECT_EQ(now.size(), 20U);
    EXPECT_EQ(now.back(), 'Z');
}

TEST(FileAuditSink, CreatesPrivateLogLeavesModeAloneAndReportsOpenFailures) {
    TempDir dir;
    const auto root = dir.path() / "nested" / "root";
    const auto sink = FileAuditSink::under_root(root);
    ASSERT_TRUE(sink.record(AuditEvent("t", AuditAction::Create, "created")));
    const auto log = root / "audit.log";
    EXPECT_EQ(fs::status(log).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(root).permissions(), fs::perms::owner_all);

    fs::permissions(log, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(sink.record(AuditEvent("t", AuditAction::Delete, "deleted")));
    EXPECT_EQ(fs::status(log).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const auto lines = lines_of(log);
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[1], R"({"ts":"t","action":"delete","result":"deleted"})");

    fs::create_directory(dir.path() / "audit.log");  // a directory cannot be opened for append
    const auto result = FileAuditSink::under_root(dir.path()).record(AuditEvent("t", AuditAction::Edit, "x"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::Audit);
    EXPECT_TRUE(result.error().display().starts_with("audit error: open audit log: ")) << result.error().display();
}

// Appends from several processes at once must leave only whole lines, none lost.
TEST(FileAuditSink, ConcurrentProcessesAppendWholeLines) {
    TempDir dir;
    constexpr int kProcesses = 4;
    constexpr int kEvents = 1000;
    const auto sink = FileAuditSink::under_root(dir.path());
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A long note makes torn writes likely if lines were written in pieces.
            const std::string padding(300, static_cast<char>('a' + p));
            for (int i = 0; i < kEvents; ++i) {
                auto event = AuditEvent("t", AuditAction::Inject, std::to_string(p) + ":" + std::to_string(i));
                event.requester_note = padding;
                if (!sink.record(event)) ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto lines = lines_of(dir.path() / "audit.log");
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kProcesses * kEvents));
    std::set<std::string> seen;
    for (const auto& line : lines) {
        ASSERT_TRUE(parses_as_json_object(line)) << line.substr(0, 80);
        const auto start = line.find("\"result\":\"") + 10;
        seen.insert(line.substr(start, line.find('"', start) - start));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kProcesses * kEvents));
}

}  // namespace
}  // namespace tarnel::core
