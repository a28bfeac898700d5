// The audit log: its lines as written and read back, appends from many
// processes, and what a same-user process can plant or cut short.

#include "core/oversight/audit.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "core/core_support.hpp"
#include "core/oversight/audit_filter.hpp"
#include "core/oversight/audit_reader.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

std::vector<AuditLine> read_new(AuditLogReader& reader) {
    std::vector<AuditLine> lines;
    const auto read = reader.read_new([&](AuditLine&& line) { lines.push_back(std::move(line)); });
    EXPECT_TRUE(read) << read.error().display();
    return lines;
}

void append(const fs::path& file, std::string_view bytes) {
    std::ofstream(file, std::ios::binary | std::ios::app) << bytes;
}

AuditEvent event(std::string_view result) {
    return AuditEvent("2026-01-02T03:04:05Z", AuditAction::Reveal, std::string(result)).by(Actor::Agent);
}

// Absent keys are left out in Resolver.OneProviderCallAndOneAuditEventPerReference.
TEST(AuditEvent, KeysInFieldOrderAndTimesReadBack) {
    AuditEvent full = AuditEvent("t", AuditAction::Reveal, "revealed").at("dev/a\"b\\c\nd\x01", "dev").by(Actor::Agent);
    full.fingerprint = "0123abcd";
    full.requester_note = "note";
    EXPECT_EQ(*full.to_json(),
              R"({"ts":"t","action":"reveal","coordinate":"dev/a\"b\\c\nd\u0001","environment":"dev",)"
              R"("result":"revealed","origin":"agent","fingerprint":"0123abcd","requester_note":"note"})");
    EXPECT_EQ(AuditEvent("t", AuditAction::Edit, "x").at("\xff", "dev").to_json().error().kind(),
              ErrorKind::Serialization);
    // Its times are RFC 3339, read back exactly.
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00Z"}, {951782400, "2000-02-29T00:00:00Z"}, {253402300800, "10000-01-01T00:00:00Z"}};
    for (const auto& [secs, text] : cases) {
        EXPECT_EQ(format_rfc3339_utc(secs), text);
        EXPECT_EQ(parse_rfc3339(text), static_cast<std::int64_t>(secs)) << text;
    }
    // Offsets and malformed times are tested through `tarnel audit --since` (tests/python/test_cli_audit.py).
    EXPECT_EQ(parse_rfc3339("2016-12-31T23:59:60Z"), parse_rfc3339("2017-01-01T00:00:00Z"));
    EXPECT_EQ(audit_since("99999999999999d", 1'800'000'000), 0);  // a span counts back from now and stops at 0
}

// Guards: a planted audit log (a link is not followed, a FIFO not waited on, by writer or reader).
TEST(FileAuditSink, APlantedLinkOrFifoIsNeitherFollowedNorWaitedOn) {
    TempDir root;
    const FileAuditSink sink = FileAuditSink::under_root(root.path());
    const fs::path log = root.path() / "audit.log";
    const auto ignore = [](AuditLine&&) {};
    write_file(root.path() / "target", "untouched");
    for (const char* target : {"target", "created-by-the-link"}) {
        fs::create_symlink(root.path() / target, log);
        EXPECT_FALSE(sink.record(event("x")));
        EXPECT_EQ(AuditLogReader::under_root(root.path()).read_new(ignore).error().display(),
                  "audit error: open audit log: a symbolic link; not following it");
        fs::remove(log);
    }
    EXPECT_EQ(read_file(root.path() / "target"), "untouched");
    EXPECT_FALSE(fs::exists(root.path() / "created-by-the-link"));
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    EXPECT_FALSE(within_seconds([&] { return sink.record(event("x")).has_value(); }));
    EXPECT_EQ(
        within_seconds([&] { return AuditLogReader::under_root(root.path()).read_new(ignore); }).error().display(),
        "audit error: open audit log: not a regular file");
}

// Guards: torn audit lines (after an append a full disk cut short, the next event starts its own line).
// The cut lands inside the second line of one batch: the first stays whole.
TEST(FileAuditSink, WritesAPrivateLogAndAShortAppendDoesNotSpoilTheNextLine) {
    TempDir dir;
    const auto root = dir.path() / "nested";
    const FileAuditSink sink = FileAuditSink::under_root(root);
    ASSERT_TRUE(sink.record(event("first")));
    EXPECT_EQ(mode_of(root), 0700U);
    EXPECT_EQ(mode_of(root / "audit.log"), 0600U);
    const auto size = fs::file_size(root / "audit.log");
    const std::vector<AuditEvent> batch{event("whole"), event("cut short"), event("never written")};
    const auto cut = static_cast<rlim_t>(size + event("whole").to_json()->size() + 1 + 20);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{cut, cut};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(sink.record_all(batch) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the cut append reported success";
    ASSERT_TRUE(sink.record(event("after")));
    std::istringstream in(read_file(root / "audit.log"));
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 4U);
    EXPECT_EQ(parse_audit_line(all[1])->event.result, "whole");
    EXPECT_EQ(all[2].size(), 20U);  // the torn piece stays as it was
    EXPECT_EQ(parse_audit_line(all[3])->event.result, "after");
}

// Batches appended by several processes at once land whole, each batch's
// lines together and in their order.
TEST(FileAuditSink, BatchesFromManyProcessesNeitherTearNorInterleave) {
    TempDir dir;
    const FileAuditSink sink = FileAuditSink::under_root(dir.path());
    constexpr int kProcesses = 4, kBatches = 25, kEvents = 20;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (int b = 0; b < kBatches; ++b) {
                std::vector<AuditEvent> batch;
                for (int e = 0; e < kEvents; ++e) batch.push_back(event(std::to_string(p) + "/" + std::to_string(e)));
                if (!sink.record_all(batch)) ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::istringstream in(read_file(dir.path() / "audit.log"));
    std::vector<std::string> results;
    for (std::string line; std::getline(in, line);) {
        auto parsed = parse_audit_line(line);
        ASSERT_TRUE(parsed) << line;
        results.push_back(parsed->event.result);
    }
    ASSERT_EQ(results.size(), static_cast<std::size_t>(kProcesses * kBatches * kEvents));
    for (std::size_t at = 0; at < results.size(); at += kEvents) {
        const std::string process = results[at].substr(0, results[at].find('/'));
        for (int e = 0; e < kEvents; ++e) EXPECT_EQ(results[at + e], process + "/" + std::to_string(e));
    }
}

// Guards: torn audit lines (the reader holds back a tail until its line feed arrives).
TEST(AuditReader, HoldsBackATornTailAndPassesOverAnOverlongLine) {
    TempDir dir;
    auto reader = AuditLogReader::under_root(dir.path());
    EXPECT_TRUE(read_new(reader).empty());  // no log yet
    const auto log = dir.path() / "audit.log";
    const std::string first = R"({"ts":"2026-01-02T03:04:05Z","action":"create","result":"created"})";
    const std::string second = R"({"ts":"2026-01-02T03:04:06Z","action":"delete","result":"deleted"})";
    append(log, first + "\n" + second.substr(0, 20));
    auto lines = read_new(reader);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].text, first);
    EXPECT_TRUE(read_new(reader).empty());
    append(log, second.substr(20) + "\n" + std::string(AuditLogReader::kMaxLineBytes + 10, 'x') + "\n{}\n");
    lines = read_new(reader);
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[0].number, 2U);
    EXPECT_EQ(lines[0].text, second);
    EXPECT_TRUE(lines[1].too_long && lines[1].text.empty());
    EXPECT_EQ(lines[2].number, 4U);
}

// Members the writer does not know are kept as text (shown by tarnel audit,
// tests/python/test_cli_audit.py); what it cannot have written is refused.
TEST(AuditLine, RefusesWhatTheWriterCannotHaveWritten) {
    const std::string ts = R"({"ts":"2026-01-02T03:04:05Z",)";
    const std::string tail = R"("action":"reveal","result":"revealed"})";
    const std::pair<std::string, std::string> cases[] = {
        {ts + tail + " x", "not JSON: The document root must not be followed by other values."},
        {ts + R"("t\u0073":"2026-01-02T03:04:05Z",)" + tail, "duplicate member `ts`"},
        {R"({"action":"reveal","result":"revealed"})", "missing `ts`"},
        {ts + R"("action":"Reveal","result":"revealed"})", "unknown action"},
        {R"({"ts":"yesterday",)" + tail, "`ts` is not an RFC 3339 time"},
        {ts + tail + std::string(1, '\0') + "junk", "contains a NUL byte"},
        // Nesting is streamed, not recursed into.
        {R"({"deep":)" + std::string(200'000, '[') + std::string(200'000, ']') + "}", "missing `ts`"},
    };
    for (const auto& [line, problem] : cases) {
        const auto refused = parse_audit_line(line);
        ASSERT_FALSE(refused) << line.substr(0, 80);
        EXPECT_EQ(refused.error().kind(), ErrorKind::Format);
        EXPECT_EQ(refused.error().detail(), problem);
    }
}

}  // namespace
}  // namespace tarnel::core
