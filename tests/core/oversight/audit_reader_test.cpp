#include "core/oversight/audit_reader.hpp"

#include <sys/stat.h>

#include "core/oversight/audit_filter.hpp"
#include "core/oversight/clock.hpp"
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

void expect_same(const AuditEvent& read, const AuditEvent& written) {
    EXPECT_EQ(read.ts, written.ts);
    EXPECT_EQ(read.action, written.action);
    EXPECT_EQ(read.coordinate, written.coordinate);
    EXPECT_EQ(read.environment, written.environment);
    EXPECT_EQ(read.result, written.result);
    EXPECT_EQ(read.origin, written.origin);
    EXPECT_EQ(read.fingerprint, written.fingerprint);
    EXPECT_EQ(read.requester_note, written.requester_note);
}

TEST(AuditReader, ReadsBackEverythingTheSinkWrites) {
    TempDir dir;
    std::vector<AuditEvent> written;
    for (std::size_t i = 0; i < audit_action_words().size(); ++i) {
        written.push_back(AuditEvent(format_rfc3339_utc(1'700'000'000 + i), static_cast<AuditAction>(i), "r"));
    }
    AuditEvent full = AuditEvent("2026-12-07T10:00:00Z", AuditAction::Deny, "denied:not-allowlisted")
                          .at("prod/a\"b\\c\nd\x01\x7f/é", "prod")
                          .by(Actor::Human);
    full.fingerprint = "0123abcd";
    full.requester_note = "line one\nline two\t\"quoted\" \u2028";
    written.push_back(full);

    const auto sink = FileAuditSink::under_root(dir.path());
    for (const auto& event : written) ASSERT_TRUE(sink.record(event));
    auto reader = AuditLogReader::under_root(dir.path());
    const auto lines = read_new(reader);
    ASSERT_EQ(lines.size(), written.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].number, i + 1);
        const auto record = parse_audit_line(lines[i].text);
        ASSERT_TRUE(record) << record.error().display();
        expect_same(record->event, written[i]);
        EXPECT_EQ(record->unix_secs, *parse_rfc3339(written[i].ts));
        EXPECT_TRUE(record->other.empty());
    }
    EXPECT_TRUE(read_new(reader).empty());
}

TEST(AuditReader, HoldsBackATornTailUntilItsLineEndArrives) {
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

    append(log, second.substr(20) + "\n");
    lines = read_new(reader);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].number, 2U);
    EXPECT_EQ(lines[0].text, second);

    // A writer killed mid-line: the next event starts a line of its own, so
    // the remnant reads as one bad line and nothing after it is lost.
    append(log, second.substr(0, 30));
    ASSERT_TRUE(FileAuditSink::under_root(dir.path()).record(AuditEvent("2026-01-02T03:04:07Z", AuditAction::Edit, "x")));
    lines = read_new(reader);
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_FALSE(parse_audit_line(lines[0].text));
    EXPECT_EQ(lines[1].number, 4U);
    ASSERT_TRUE(parse_audit_line(lines[1].text));
}

TEST(AuditReader, PassesOverAnOverlongLineAndRefusesWhatIsNotAFile) {
    TempDir dir;
    const auto log = dir.path() / "audit.log";
    append(log, std::string(AuditLogReader::kMaxLineBytes + 10, 'x') + "\n{}\n");
    auto reader = AuditLogReader::under_root(dir.path());
    const auto lines = read_new(reader);
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_TRUE(lines[0].too_long);
    EXPECT_TRUE(lines[0].text.empty());
    EXPECT_FALSE(lines[1].too_long);
    EXPECT_EQ(lines[1].number, 2U);

    const auto ignore = [](AuditLine&&) {};
    TempDir linked;
    fs::create_symlink(log, linked.path() / "audit.log");
    const auto link = AuditLogReader::under_root(linked.path()).read_new(ignore);
    ASSERT_FALSE(link);
    EXPECT_EQ(link.error().display(), "audit error: open audit log: a symbolic link; not following it");

    TempDir piped;
    ASSERT_EQ(::mkfifo((piped.path() / "audit.log").c_str(), 0600), 0);
    const auto fifo = AuditLogReader::under_root(piped.path()).read_new(ignore);
    ASSERT_FALSE(fifo);
    EXPECT_EQ(fifo.error().display(), "audit error: open audit log: not a regular file");
}

TEST(AuditLine, KeepsMembersItDoesNotKnowAsText) {
    const auto record = parse_audit_line(
        R"({"ts":"2026-01-02T03:04:05Z","action":"approve","pid":4021,"result":"approved",)"
        R"("via":"web","ratio":1.50,"on":true,"none":null,"client":{"name":"x","tags":[1,{"a":[]}]}})");
    ASSERT_TRUE(record) << record.error().display();
    const std::vector<std::pair<std::string, std::string>> other{
        {"pid", "4021"}, {"via", "web"}, {"ratio", "1.50"}, {"on", "true"}, {"none", "null"},
        {"client", R"({"name":"x","tags":[1,{"a":[]}]})"},
    };
    EXPECT_EQ(record->other, other);
    EXPECT_EQ(record->event.result, "approved");
}

TEST(AuditLine, RefusesWhatTheWriterCannotHaveWritten) {
    const std::string ok_tail = R"("action":"reveal","result":"revealed"})";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"", "not JSON: The document is empty."},
        {R"(["ts"])", "not a JSON object"},
        {R"("text")", "not a JSON object"},
        {R"({"ts":"2026-01-02T03:04:05Z",)" + ok_tail + " x", "not JSON: The document root must not be followed by other values."},
        {R"({"ts":"2026-01-02T03:04:05Z","t\u0073":"2026-01-02T03:04:05Z",)" + ok_tail, "duplicate member `ts`"},
        {R"({"x":1,"x":2,"ts":"2026-01-02T03:04:05Z",)" + ok_tail, "a member appears twice"},
        {R"({"action":"reveal","result":"revealed"})", "missing `ts`"},
        {R"({"ts":"2026-01-02T03:04:05Z","result":"revealed"})", "missing `action`"},
        {R"({"ts":"2026-01-02T03:04:05Z","action":"reveal"})", "missing `result`"},
        {R"({"ts":"2026-01-02T03:04:05Z","action":"Reveal","result":"revealed"})", "unknown action"},
        {R"({"ts":"yesterday",)" + ok_tail, "`ts` is not an RFC 3339 time"},
        {R"({"ts":"2026-01-02T03:04:05Z","coordinate":7,)" + ok_tail, "`coordinate` is not a string"},
        {R"({"ts":"2026-01-02T03:04:05Z","origin":{"who":"agent"},)" + ok_tail, "`origin` is not a string"},
        {"{\"ts\":\"2026-01-02T03:04:05Z\",\"note\":\"\xff\"," + ok_tail, "not JSON: Invalid encoding in string."},
        {"{\"ts\":\"2026-01-02T03:04:05Z\",\"note\":\"a\nb\"," + ok_tail, "not JSON: Invalid escape character in string."},
        {std::string(R"({"ts":"2026-01-02T03:04:05Z",)") + ok_tail + std::string(1, '\0') + "junk", "contains a NUL byte"},
    };
    for (const auto& [line, problem] : cases) {
        const auto record = parse_audit_line(line);
        ASSERT_FALSE(record) << line;
        EXPECT_EQ(record.error().kind(), ErrorKind::Format) << line;
        EXPECT_EQ(record.error().detail(), problem) << line;
    }
    // Nesting is streamed, not recursed into.
    const std::string deep = R"({"deep":)" + std::string(200'000, '[') + std::string(200'000, ']') + "}";
    EXPECT_EQ(parse_audit_line(deep).error().detail(), "missing `ts`");
}

TEST(Rfc3339, ParsesWhatTheFormatterWritesAndOtherOffsets) {
    for (const std::uint64_t secs : {0ULL, 951782400ULL, 1767225599ULL, 4107542400ULL, 253402300800ULL}) {
        EXPECT_EQ(parse_rfc3339(format_rfc3339_utc(secs)), static_cast<std::int64_t>(secs)) << secs;
    }
    EXPECT_EQ(parse_rfc3339("2026-12-07T10:00:00Z"), 1796637600);
    EXPECT_EQ(parse_rfc3339("2026-12-07t11:30:00.999+01:30"), 1796637600);
    EXPECT_EQ(parse_rfc3339("2026-12-07T05:00:00-05:00z").has_value(), false);
    EXPECT_EQ(parse_rfc3339("2026-12-07T05:00:00-05:00"), 1796637600);
    EXPECT_EQ(parse_rfc3339("1969-12-31T23:59:59Z"), -1);
    EXPECT_EQ(parse_rfc3339("2016-12-31T23:59:60Z"), parse_rfc3339("2017-01-01T00:00:00Z"));
    for (const char* bad : {"2100-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-04-31T00:00:00Z",
                            "2026-01-01T24:00:00Z", "2026-01-01T00:00:00", "2026-01-01 00:00:00Z",
                            "2026-1-01T00:00:00Z", "02026-01-01T00:00:00Z", "2026-01-01T00:00:00.Z",
                            "2026-01-01T00:00:00+2:00", "2026-01-01T00:00:00Z ", ""}) {
        EXPECT_FALSE(parse_rfc3339(bad)) << bad;
    }
}

TEST(AuditFilter, CoordinateFormsAndSpans) {
    for (const char* form : {"dev/app/db", "secret:dev/app/db", "secret://global/dev/app/db#public"}) {
        EXPECT_EQ(audit_coordinate(form), "dev/app/db") << form;
    }
    EXPECT_EQ(audit_coordinate("dev/app").error().kind(), ErrorKind::InvalidCoordinate);
    EXPECT_EQ(audit_coordinate("secret:${ENV}/app/db").error().kind(), ErrorKind::NotStorable);

    constexpr std::int64_t now = 1'800'000'000;
    EXPECT_EQ(audit_since("30s", now), now - 30);
    EXPECT_EQ(audit_since("10m", now), now - 600);
    EXPECT_EQ(audit_since("2h", now), now - 7200);
    EXPECT_EQ(audit_since("7d", now), now - 7 * 86400);
    EXPECT_EQ(audit_since("99999999999999d", now), 0);
    EXPECT_EQ(audit_since("2026-12-07T10:00:00Z", now), 1796637600);
    for (const char* bad : {"", "s", "-5m", "+5m", "5", "5w", "5 m", "1.5h", "99999999999999999999d", "tomorrow"}) {
        EXPECT_FALSE(audit_since(bad, now)) << bad;
    }
}

}  // namespace
}  // namespace tarnel::core
