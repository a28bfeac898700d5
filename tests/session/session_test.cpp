// The session's rules as every principal meets them: the scope, the reveal
// policy with its confirmations and audit trail, edits that lower protection
// (the owner's answer, the record changing meanwhile, concurrent writers) and
// the owner's answers (the proof the owner gives, intakes as the owner saw them).

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <future>

#include "session/intake_answers.hpp"
#include "session/owner_proof.hpp"
#include "session/passphrase_check.hpp"
#include "session/vault_init.hpp"
#include "session_fixture.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;

// Out of scope must look exactly like absent to every method: the same
// NotFound, no confirmation asked, no file touched and the audit log as it
// was. A record the session's key cannot open stops every method the same way.
TEST(Scope, OutOfScopeIsNotAddressableAndLeavesNoTrace) {
    TempVault vault;
    vault.put(literal("dev/db/password", "global"));
    vault.put(literal("dev/db/password", "alpha"), "alpha");
    vault.put(literal("dev/db/foreign", "theirs"), "gamma", testing::key_of(0x5a));
    ASSERT_TRUE(vault.session().reveal("secret:dev/db/password", std::nullopt));
    const auto files = [&] {
        return std::tuple(read_file(vault.root() / "audit.log"), vault.record_bytes("secret:dev/db/password"),
                          vault.record_bytes("secret:dev/db/password", "alpha"),
                          vault.record_bytes("secret:dev/db/foreign", "gamma"), names_in(vault.dir()));
    };
    const auto before = files();
    auto approve = answering(Decision::Approved);

    // The error's text, or "" on success.
    using Call = std::function<std::string(const Session&, std::string_view, OptText)>;
    const auto text = [](const auto& result) { return result ? std::string() : result.error().message(); };
    // name, the operation it needs, whether an absent record is NotFound, whether it reads the record
    // clang-format off: one case a row
    const std::tuple<const char*, Operation, bool, bool, Call> methods[] = {
        {"status_of", Operation::Metadata, true, true, [&](auto& s, auto at, auto p) { return text(s.status_of(at, p)); }},
        {"fingerprint_of", Operation::Metadata, true, true, [&](auto& s, auto at, auto p) { return text(s.fingerprint_of(at, p)); }},
        {"reveal", Operation::Reveal, true, true, [&](auto& s, auto at, auto p) { return text(s.reveal(at, p)); }},
        {"set", Operation::Write, false, true, [&](auto& s, auto at, auto p) { return text(s.set(at, core::SecretValue::from_text("x"), p)); }},
        {"generate", Operation::Write, false, true, [&](auto& s, auto at, auto p) { return text(s.generate(at, 8, "nonsense", std::nullopt, p)); }},
        {"remove", Operation::Write, true, true, [&](auto& s, auto at, auto p) { return text(s.remove(at, p)); }},
        {"edit_metadata", Operation::Write, true, true, [&](auto& s, auto at, auto p) { return text(s.edit_metadata(at, "high", "d", true, std::nullopt, p)); }},
        {"request_intake", Operation::Write, false, false, [&](auto& s, auto at, auto p) { return text(s.request_intake(at, "nonsense", std::nullopt, p, std::nullopt)); }},
    };
    const std::tuple<const char*, std::function<core::AgentScope(Operation)>, std::string_view, OptText> cases[] = {
        {"operation not granted", [](Operation o) { return scope_of({o == Operation::Metadata ? Operation::Write : Operation::Metadata}); }, "secret:dev/db/password", std::nullopt},
        {"projects listed, global asked", [](Operation o) { return scope_of({o}, Names{"alpha"}); }, "secret:dev/db/password", std::nullopt},
        {"other project", [](Operation o) { return scope_of({o}, Names{"beta"}); }, "secret:dev/db/password", "alpha"},
        {"absent", [](Operation o) { return scope_of({o}); }, "secret:dev/db/absent", std::nullopt},
        {"foreign", [](Operation) { return all_operations(); }, "secret:dev/db/foreign", "gamma"},
    };
    // clang-format on
    for (const auto& [method, needs, absent_is_not_found, reads, call] : methods) {
        for (const auto& [name, scope, at, project] : cases) {
            const bool is_foreign = std::string_view(name) == "foreign";
            if ((std::string_view(name) == "absent" && !absent_is_not_found) || (is_foreign && !reads)) continue;
            SCOPED_TRACE(std::string(method) + ": " + name);
            EXPECT_EQ(call(vault.session(scope(needs), approve), at, project),
                      is_foreign ? "crypto operation failed" : "not addressable");
        }
    }
    EXPECT_EQ(approve->seen.size(), 0U);
    EXPECT_EQ(files(), before);
    EXPECT_FALSE(fs::exists(vault.dir("beta")));
    EXPECT_FALSE(fs::exists(vault.root() / "intake"));
}

// The session asks only an attended human, and audits each answer and each
// value it hands out, naming the principal as the origin. The codes `tarnel
// code` hands out or refuses are tests/python/test_cli_kinds.py's.
TEST(RevealPolicy, ThePrincipalAndTheLevelDecideWhoIsAskedAndWhatIsAudited) {
    enum Who { Agent, Attended, Unattended };
    // who asks, where (dev/app/otp: totp_code of an enrolment, else reveal of a literal), its level and
    // revealable flag, the human's answer, the value or code handed out (else the refusal), the audit
    // clang-format off: one case a row
    const std::tuple<Who, std::string_view, Sensitivity, bool, Decision, std::string_view, Words> cases[] = {
        {Attended, "dev/app/token", Sensitivity::High, false, Decision::Approved, "the value", {"approve/approved-reveal", "reveal/revealed"}},
        {Attended, "dev/app/token", Sensitivity::High, true, Decision::TimedOut, "reveal not confirmed", {"timeout/timeout-reveal"}},
        // The flag matters only to agents; nobody is asked below high.
        {Attended, "dev/app/token", Sensitivity::Medium, false, Decision::Denied, "the value", {"reveal/revealed"}},
        {Unattended, "dev/app/token", Sensitivity::High, true, Decision::Approved, "reveal requires attended confirmation (not available over MCP)", {}},
        {Agent, "dev/app/token", Sensitivity::High, true, Decision::Approved, "McpCriticalForbidden", {"deny/denied"}},
        {Attended, "dev/app/otp", Sensitivity::High, true, Decision::Denied, "code not confirmed", {"deny/denied-code"}},
    };
    // clang-format on
    for (const auto& [who, path, level, revealable, answer, expected, audit] : cases) {
        SCOPED_TRACE(std::string(path) + " " + std::string(expected));
        TempVault vault;
        const bool code = path.ends_with("otp");
        core::SecretRecord record = literal(path, "the value", level, revealable);
        if (code) record.kind = core::TotpRecord{.seed = core::SecretValue::from_text("12345678901234567890")};
        vault.put(record);
        auto human = answering(answer);
        Session session = vault.session(
            who == Agent ? Principal::agent(all_operations()) : Principal::human(all_operations(), who == Attended),
            human);
        const std::string at = "secret:" + std::string(path);
        auto handed = code ? session.totp_code(at, std::nullopt) : session.reveal(at, std::nullopt);
        EXPECT_EQ(handed ? std::string(handed->expose_secret_chars()) : handed.error().message(), expected);
        EXPECT_EQ(human->seen.size(), who == Attended && level == Sensitivity::High ? 1U : 0U);
        EXPECT_EQ(vault.audit_words(), audit);
        for (const std::string& origin : vault.audit_words("origin"))
            EXPECT_EQ(origin, who == Agent ? "agent" : "human");
    }
}

constexpr std::string_view kAt = "secret:dev/app/token";
constexpr std::string_view kChanged = "sensitivity changed while the edit was pending \u2014 sensitivity not lowered";
const Words kDowngraded = {"approve/approved-downgrade", "sensitivity-downgrade/downgraded", "edit/metadata-updated"};

SessionResult<RecordView> edit(const Session& session, OptText sensitivity, OptText description = std::nullopt) {
    return session.edit_metadata(kAt, sensitivity, description, std::nullopt, std::nullopt, std::nullopt);
}

// Lowering the sensitivity, making a value revealable and pointing a
// reference elsewhere hand an agent what it could not reach before, so they
// wait for the owner; the reverse, and a reference left as it is, do not.
// What the owner is shown for each, and what a denial or an approval applies
// (a reference pointed elsewhere too), is tests/python/test_mcp_owner.py's
// (and a downgrade's, EditWhileWaiting's).
TEST(EditLowering, WhatHandsAnAgentMoreWaitsForTheOwner) {
    constexpr std::string_view kOld = "aws-sm://us-east-1/dev-db";
    // the level asked (also makes the record High), revealable, the reference asked (also makes the record a
    // reference to kOld), the decision, the refusal (nullopt: nobody is asked; whoever is asked refuses), the audit
    // clang-format off: one case a row
    const std::tuple<OptText, std::optional<bool>, OptText, Decision, OptText, Words> cases[] = {
        {"low", std::nullopt, std::nullopt, Decision::TimedOut, "timed out \u2014 sensitivity not lowered", {"timeout/timeout-downgrade"}},
        {std::nullopt, true, std::nullopt, Decision::Forged, "denied \u2014 not made revealable", {"deny/forged-approval-revealable"}},
        {std::nullopt, false, std::nullopt, Decision::Denied, std::nullopt, {"edit/metadata-updated"}},
        {std::nullopt, std::nullopt, kOld, Decision::Denied, std::nullopt, {"edit/metadata-updated"}},
    };
    // clang-format on
    for (const auto& [level, revealable, reference, decision, refused, audit] : cases) {
        SCOPED_TRACE(audit[0]);
        TempVault vault;
        auto record =
            literal("dev/app/token", "v", level ? Sensitivity::High : Sensitivity::Medium, !revealable.value_or(true));
        if (reference) record.kind = core::ReferenceRecord{std::string(kOld)};
        vault.put(std::move(record));
        const std::string before = vault.record_bytes(kAt);
        const auto confirmer = answering(decision);
        auto outcome = vault.session(all_operations(), confirmer)
                           .edit_metadata(kAt, level, std::nullopt, revealable, reference, std::nullopt);
        ASSERT_EQ(confirmer->seen.size(), refused ? 1U : 0U);
        EXPECT_EQ(vault.audit_words(), audit);
        EXPECT_EQ(outcome ? "" : outcome.error().message(), refused.value_or(""));
        EXPECT_TRUE(outcome || vault.record_bytes(kAt) == before);
        if (!outcome) continue;
        const auto stored = vault.get(kAt);
        EXPECT_TRUE(!revealable || stored->meta.revealable == *revealable);
        EXPECT_TRUE(!reference || std::get<core::ReferenceRecord>(stored->kind).ref == *reference);
    }
}

// A High record is lowered to low while another session acts during the
// wait. The edit applies to the record as it is after the wait, an approval
// never lowers a level raised meanwhile, and no lock is held while the human
// decides.
TEST(EditWhileWaiting, TheRecordAsItIsAfterTheWaitDecides) {
    using Meanwhile = std::function<bool(const Session& other)>;
    const auto set_value = [](const Session& other) {
        return other.set(kAt, core::SecretValue::from_text("written meanwhile"), std::nullopt).has_value();
    };
    const auto set_elsewhere = [&](const Session& other) {
        auto write = std::async(std::launch::async, [&] { return set_value(other); });
        return write.wait_for(5s) == std::future_status::ready && write.get();
    };
    // name, decision, what the other session does meanwhile, the refusal's text (empty: the edit succeeds), the
    // final level (nullopt: the record is gone), the audit, whether the other session's set stays
    // clang-format off: one case a row
    const std::tuple<const char*, Decision, Meanwhile, std::string_view, std::optional<Sensitivity>, Words, bool> cases[] = {
        {"value set meanwhile", Decision::Approved, set_value, "", Sensitivity::Low, {"edit/value-updated", kDowngraded[0], kDowngraded[1], kDowngraded[2]}, true},
        {"level raised meanwhile", Decision::Approved, [](const Session& o) { return edit(o, "inject-only").has_value(); }, kChanged, Sensitivity::InjectOnly, {"edit/metadata-updated", "approve/approved-downgrade"}, false},
        {"record deleted meanwhile", Decision::Approved, [](const Session& o) { return o.remove(kAt, std::nullopt).has_value(); }, "not addressable", std::nullopt, {"delete/deleted", "approve/approved-downgrade"}, false},
        // Set elsewhere with a deadline, so a held lock fails the test instead of hanging it.
        {"no lock held while deciding", Decision::Denied, set_elsewhere, "denied \u2014 sensitivity not lowered", Sensitivity::High, {"edit/value-updated", "deny/denied-downgrade"}, true},
    };
    // clang-format on
    for (const auto& [name, decision, meanwhile, error, final_level, audit, value_written] : cases) {
        SCOPED_TRACE(name);
        TempVault vault;
        vault.put(literal("dev/app/token", "before", Sensitivity::High, false));
        Session other = vault.session(all_operations(), answering(Decision::Approved));
        bool meanwhile_ok = false;
        Session session =
            vault.session(all_operations(), answering(decision, [&] { meanwhile_ok = meanwhile(other); }));
        auto outcome = edit(session, "low", "described");
        EXPECT_TRUE(meanwhile_ok);
        EXPECT_EQ(outcome ? "" : outcome.error().message(), error);
        auto stored = vault.get(kAt);
        ASSERT_EQ(stored.has_value(), final_level.has_value());
        if (final_level) {
            EXPECT_EQ(stored->meta.sensitivity, *final_level);
            EXPECT_EQ(stored->meta.description, error.empty() ? std::optional<std::string>("described") : std::nullopt);
            EXPECT_EQ(literal_value(*stored), value_written ? "written meanwhile" : "before");
        }
        EXPECT_EQ(vault.audit_words(), audit);
    }
}

// Guards: two writers of one record lost an update (per-record lock for read-modify-write).
// Each field has one writer, two threads here and one forked process, so a
// lock held per process or per thread alone fails; the record must end with
// every writer's last word.
TEST(ConcurrentWriters, ThreadsAndProcessesNeverWriteBackStaleFields) {
    constexpr int kRounds = 40;
    TempVault vault;
    vault.put(literal("dev/app/token", "value-start", Sensitivity::Medium, false));
    const Session session = vault.session(all_operations(), answering(Decision::Approved));
    const auto writer = [&](int role) {
        int failed = 0;
        for (int i = 0; i < kRounds; ++i) {
            const std::string n = std::to_string(i);
            if (role == 0) failed += !session.set(kAt, core::SecretValue::from_text("value-" + n), std::nullopt);
            if (role == 1) failed += !edit(session, std::nullopt, "desc-" + n);
            if (role == 2)
                failed += !edit(session, i % 2 == 0 ? "high" : "low");  // a raise, then an approved downgrade
        }
        return failed;
    };
    const pid_t child = ::fork();
    if (child == 0) ::_exit(writer(2));
    auto first = std::async(std::launch::async, writer, 0);
    EXPECT_EQ(writer(1), 0);
    EXPECT_EQ(first.get(), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto stored = vault.get(kAt);
    EXPECT_EQ(literal_value(*stored), "value-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.description, "desc-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.sensitivity, Sensitivity::Low);
    const auto words = vault.audit_words();
    EXPECT_EQ(std::ranges::count(words, "edit/value-updated"), kRounds);
    EXPECT_EQ(std::ranges::count(words, "edit/metadata-updated"), 2 * kRounds);
    EXPECT_EQ(std::ranges::count(words, "sensitivity-downgrade/downgraded"), kRounds / 2);
}

// A passphrase vault asks the checked passphrase (a wrong one is refused in
// tests/python/test_unlock.py and test_mcp_server.py); taking its check or its
// salt away must not turn it into one that asks less. Only with neither is it a
// keyring vault (tests/python/test_cli_passwd.py).
TEST(OwnerProof, PassphraseVaultsAskTheCheckedPassphrase) {
    const testing::TempDir base;
    const fs::path root = base.path() / "vault", check = root / kPassphraseCheckFile;
    const auto phrase = [](std::string_view text) { return core::SecretValue::from_text(text); };
    ASSERT_TRUE(init_with_passphrase(root, phrase("right")));
    EXPECT_EQ(owner_proof_for(root), OwnerProof::Passphrase);
    EXPECT_TRUE(owner_key_from_passphrase(root, phrase("right")));
    std::string damaged = read_file(check);
    damaged.pop_back();
    fs::rename(check, base.path() / "kdf.check");
    EXPECT_FALSE(owner_key_from_passphrase(root, phrase("right")));
    write_file(check, damaged);
    const auto opened =
        Session::open_checked(VaultOptions{root, phrase("right")}, Principal::human(all_operations(), false));
    EXPECT_EQ(opened.error().message(), "kdf.check in the vault root is damaged");
    fs::rename(base.path() / "kdf.check", check);
    fs::remove(root / "kdf.salt");
    EXPECT_FALSE(owner_proof_for(root));
}

// Guards: an intake created what its file said when fulfilled, not what the owner saw.
// An agent rewrote intake/ID.json while the owner typed the value, turning the
// "high" the owner saw into "low" in another project.
TEST(FulfilIntake, CreatesWhatTheOwnerSawOnce) {
    const TempVault vault;
    auto id = vault.session().request_intake("secret:dev/app/db", "high", "the db", "web", "client/1");
    ASSERT_TRUE(id);
    const Session human = vault.session(Principal::human(all_operations(), false));
    const core::PendingIntake shown = *intake_to_answer(vault.root(), *core::RequestId::parse(*id));
    const fs::path file = vault.root() / "intake" / (*id + ".json");
    std::string text = read_file(file);
    for (const auto& [from, to] :
         {std::pair{"\"high\"", "\"low\""}, std::pair{"\"project\":\"web\"", "\"project\":null"}}) {
        ASSERT_NE(text.find(from), std::string::npos) << from;
        text.replace(text.find(from), std::string_view(from).size(), to);
    }
    write_file(file, text);

    auto view = human.fulfil_intake(shown, core::SecretValue::from_text("s3cret"));
    ASSERT_TRUE(view) << view.error().message();
    EXPECT_EQ(view->origin, "project:web");
    const auto record = vault.get("secret:dev/app/db", "web");
    ASSERT_TRUE(record);
    EXPECT_EQ(literal_value(*record), "s3cret");
    EXPECT_EQ(record->meta.sensitivity, Sensitivity::High);
    EXPECT_EQ(record->meta.description, "the db");
    EXPECT_FALSE(vault.get("secret:dev/app/db"));
    EXPECT_TRUE(names_in(vault.root() / "intake").empty());
    EXPECT_EQ(vault.audit_words(), Words{"create/intake-fulfilled"});
    EXPECT_EQ(human.fulfil_intake(shown, core::SecretValue::from_text("other")).error().message(), "not addressable");

    // A request whose environment contradicts its coordinate is refused before it is shown.
    write_file(vault.root() / "intake" / "1-2-3.json",
               R"({"id":"1-2-3","created_unix":1,"coordinate":"secret:prod/app/db","sensitivity":"low",)"
               R"("environment":"dev","origin":"agent","requesting_process":null,"description":null,"project":null})");
    EXPECT_EQ(intake_to_answer(vault.root(), *core::RequestId::parse("1-2-3")).error().message(),
              "intake 1-2-3 names environment `dev` for a coordinate in another");
}

}  // namespace
}  // namespace tarnel::session
