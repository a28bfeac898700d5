// What another process of the same user can plant in the vault root: links,
// FIFOs, huge sparse files, files under the next request identifier, a
// full disk. None of it may redirect a write outside the root, block a
// reader, exhaust memory or spoil the next audit line.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>

#include "core/oversight/audit.hpp"
#include "core/keys/crypto.hpp"
#include "core/store/fs.hpp"
#include "core/oversight/intake.hpp"
#include "core/store/store.hpp"
#include "core/store/temp_file.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Runs `body` elsewhere so a reader that blocks fails the test instead of hanging it.
template <class Body>
auto within_seconds(Body body) {
    auto running = std::async(std::launch::async, std::move(body));
    if (running.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "blocked";
        std::abort();  // the blocked thread cannot be joined
    }
    return running.get();
}

class PlantedFiles : public ::testing::Test {
protected:
    TempDir root_;
    const fs::path vault_ = root_.path() / "global";
    const Coordinate at_ = coordinate("secret:dev/app/token");
    const MasterKey key_ = key_of(7);

    fs::path record() const { return *record_path(vault_, at_); }
    void put(std::string_view value) const {
        ASSERT_TRUE(write_record(vault_, at_, *seal(literal(at_, value), key_)));
    }
};

TEST_F(PlantedFiles, SpecialAndOversizedRecordFilesAreRefusedWithoutBlockingOrAllocating) {
    fs::create_directories(vault_);
    const fs::path elsewhere = root_.path() / "elsewhere.sec";
    ASSERT_TRUE(write_record(root_.path(), at_, *seal(literal(at_, "outside"), key_)));
    fs::rename(*record_path(root_.path(), at_), elsewhere);

    const auto read_error = [&] {
        auto read = within_seconds([&] { return read_record(vault_, at_, key_); });
        return read ? std::string("<read>") : read.error().display();
    };
    const std::string named = "vault I/O failed: read record: " + quoted_path(record()) + ": ";

    ASSERT_EQ(::mkfifo(record().c_str(), 0600), 0);
    EXPECT_EQ(read_error(), named + "not a regular file");
    // listing skips it and goes on
    fs::create_directories(vault_ / "other");
    auto listed = within_seconds([&] { return load_all(vault_, key_); });
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->failures.size(), 1U);
    fs::remove(record());

    // A link is not followed, even to a record this key opens.
    fs::create_symlink(elsewhere, record());
    EXPECT_EQ(read_error(), named + "not a regular file");
    fs::remove(record());

    // A sparse terabyte is refused from its size alone.
    {
        const UniqueFd fd(::open(record().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_EQ(::ftruncate(fd.get(), off_t{1} << 40), 0);
    }
    EXPECT_EQ(read_error(), named + "larger than 33554432 bytes");
}

TEST_F(PlantedFiles, DirectoriesThatAreLinksAreNotEntered) {
    const fs::path outside = root_.path() / "outside";
    fs::create_directories(outside);
    fs::create_symlink(outside, vault_);
    const auto written = write_record(vault_, at_, *seal(literal(at_, "v"), key_));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().display(),
              "vault I/O failed: create " + quoted_path(vault_) + ": Not a directory (os error 20)");

    fs::create_symlink(outside, root_.path() / "intake");
    const auto filed = IntakeBroker::under_root(root_.path())
                           .create(PendingIntake("secret:dev/app/x", Sensitivity::Low, "dev", Actor::Agent));
    EXPECT_FALSE(filed);
    EXPECT_TRUE(names_in(outside).empty());
}

TEST_F(PlantedFiles, AnAuditLogLinkOrFifoIsNeitherFollowedNorWaitedOn) {
    const FileAuditSink sink = FileAuditSink::under_root(root_.path());
    const AuditEvent event = AuditEvent("2026-01-02T03:04:05Z", AuditAction::Reveal, "revealed").by(Actor::Agent);
    const fs::path log = root_.path() / "audit.log";

    write_file(root_.path() / "target", "untouched");
    fs::create_symlink(root_.path() / "target", log);
    EXPECT_FALSE(sink.record(event));
    EXPECT_EQ(read_file(root_.path() / "target"), "untouched");
    fs::remove(log);

    fs::create_symlink(root_.path() / "created-by-the-link", log);
    EXPECT_FALSE(sink.record(event));
    EXPECT_FALSE(fs::exists(root_.path() / "created-by-the-link"));
    fs::remove(log);

    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    EXPECT_FALSE(within_seconds([&] { return sink.record(event).has_value(); }));
}

// A temporary whose name could be guessed is never opened through a link
// planted there: the writer moves on to a name of its own.
TEST_F(PlantedFiles, TemporariesSkipNamesTakenByLinks) {
    const fs::path final_path = root_.path() / "x.json";
    const std::string probe = unique_temp_path(final_path).string();
    const std::uint64_t next = std::stoull(probe.substr(probe.rfind('.') + 1)) + 1;
    const fs::path planted = probe.substr(0, probe.rfind('.') + 1) + std::to_string(next);
    write_file(root_.path() / "target", "untouched");
    fs::create_symlink(root_.path() / "target", planted);

    auto temp = create_temp(final_path);
    ASSERT_TRUE(temp);
    EXPECT_NE(temp->name.path(), planted);
    ASSERT_FALSE(fill_private(*temp, "ours"));
    EXPECT_EQ(read_file(root_.path() / "target"), "untouched");
    EXPECT_EQ(read_file(temp->name.path()), "ours");
}

// A full disk cuts an append short; the next event must still be a line of
// its own. The disk is made full for one child with RLIMIT_FSIZE.
TEST_F(PlantedFiles, AShortAuditAppendDoesNotSpoilTheNextLine) {
    const FileAuditSink sink = FileAuditSink::under_root(root_.path());
    const auto event = [](std::string_view result) {
        return AuditEvent("2026-01-02T03:04:05Z", AuditAction::Reveal, std::string(result)).by(Actor::Agent);
    };
    ASSERT_TRUE(sink.record(event("first")));
    const auto size = fs::file_size(root_.path() / "audit.log");

    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(size + 20), static_cast<rlim_t>(size + 20)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(sink.record(event("cut short")) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the cut append reported success";
    ASSERT_TRUE(sink.record(event("after")));

    std::istringstream lines(read_file(root_.path() / "audit.log"));
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 3U);
    EXPECT_NE(all[0].find("\"first\""), std::string::npos);
    EXPECT_EQ(all[1].size(), 20U);  // the torn piece stays as it was
    EXPECT_TRUE(all[2].starts_with("{\"ts\":")) << all[2];
    EXPECT_NE(all[2].find("\"after\""), std::string::npos);
}

// An empty plaintext decrypts to an empty value without touching a null
// buffer (the sanitizer build stops on that).
TEST(SealEdges, AnEmptyPlaintextOpensToNothing) {
    const MasterKey key = key_of(3);
    auto sealed = seal_bytes({}, key);
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->ciphertext.size(), kTagBytes);
    auto opened = open_bytes(*sealed, key);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->size(), 0U);
}

}  // namespace
}  // namespace tarnel::core
