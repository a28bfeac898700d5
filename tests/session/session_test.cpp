#include <gtest/gtest.h>

#include <functional>

#include "session_fixture.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;
using core::Operation;
using Names = std::set<std::string, std::less<>>;

constexpr std::string_view kSaltMessage = "reading kdf.salt from the vault root (run `tarnel init` first)";
constexpr std::string_view kKeyMessage = "obtaining the master key (run `tarnel init`?)";
constexpr std::string_view kShortSalt = "keyring operation failed: salt must be at least 8 bytes";

// Which failure Session::open reports when several could apply, and that a
// failure before the registry creates nothing on disk. libsecret finds no
// Secret Service in every case, so the OS keyring fails the same everywhere.
TEST(SessionOpenTest, FailuresComeInOrderAndTouchNothingBeforeTheRegistry) {
    enum class Root { Vault, Missing, Unset };
    struct Case {
        const char* name;
        std::function<void(const TempVault&)> arrange;
        Root root;
        bool passphrase;                            // given as the argument
        std::optional<std::string_view> env_phrase;  // TARNEL_PASSPHRASE
        bool unset_home;
        std::string_view message;  // the whole text, or its start for prefix cases
        bool prefix;
        std::optional<core::ErrorKind> core_kind;  // nullopt: an Other error
        bool before_registry;
    };
    const auto no_salt = [](const TempVault& v) { fs::remove(v.root() / "kdf.salt"); };
    const auto nothing = [](const TempVault&) {};
    const Case cases[] = {
        {"missing salt", no_salt, Root::Vault, true, std::nullopt, false, kSaltMessage, false, std::nullopt, true},
        {"missing root", nothing, Root::Missing, true, std::nullopt, false, kSaltMessage, false, std::nullopt, true},
        {"salt is a directory",
         [](const TempVault& v) {
             fs::remove(v.root() / "kdf.salt");
             fs::create_directory(v.root() / "kdf.salt");
         },
         Root::Vault, true, std::nullopt, false, "kdf.salt in the vault root is not a regular file", false,
         std::nullopt, true},
        {"seven-byte salt", [](const TempVault& v) { v.write_salt({1, 2, 3, 4, 5, 6, 7}); }, Root::Vault, true,
         std::nullopt, false, kShortSalt, false, core::ErrorKind::Keyring, true},
        {"empty salt", [](const TempVault& v) { v.write_salt({}); }, Root::Vault, true, std::nullopt, false,
         kShortSalt, false, core::ErrorKind::Keyring, true},
        {"no passphrase", nothing, Root::Vault, false, std::nullopt, false, kKeyMessage, false, std::nullopt, true},
        // The key is asked for before the salt is read.
        {"no passphrase and no vault", nothing, Root::Missing, false, std::nullopt, false, kKeyMessage, false,
         std::nullopt, true},
        // An empty passphrase from the environment is still one: Argon2, not the OS keyring, is next.
        {"empty env passphrase", no_salt, Root::Vault, false, "", false, kSaltMessage, false, std::nullopt, true},
        {"env passphrase not UTF-8", nothing, Root::Vault, false, "caf\xe9", false, kKeyMessage, false,
         std::nullopt, true},
        {"no home and no root", nothing, Root::Unset, true, std::nullopt, true,
         "vault I/O failed: no home directory ($HOME) set", false, core::ErrorKind::Io, true},
        // A dangling link where global/ belongs cannot be made a directory.
        {"registry cannot be created",
         [](const TempVault& v) { fs::create_symlink(v.base() / "missing-target", v.root() / "global"); },
         Root::Vault, true, std::nullopt, false, "vault I/O failed: create ", true, core::ErrorKind::Io, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempVault vault;
        ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", std::nullopt), display("DISPLAY", std::nullopt),
            wayland("WAYLAND_DISPLAY", std::nullopt), runtime("XDG_RUNTIME_DIR", vault.base().string());
        ScopedEnv home("HOME", c.unset_home ? std::nullopt : std::optional<std::string_view>(vault.base().string()));
        ScopedEnv phrase("TARNEL_PASSPHRASE", c.env_phrase);
        c.arrange(vault);
        std::optional<fs::path> root;
        if (c.root == Root::Vault) root = vault.root();
        if (c.root == Root::Missing) root = vault.base() / "nowhere";
        std::optional<core::SecretValue> passphrase;
        if (c.passphrase) passphrase = core::SecretValue::from_text(kPassphrase);

        auto session = Session::open(VaultOptions{root, std::move(passphrase)}, Principal::agent(all_operations()));
        ASSERT_FALSE(session);
        const std::string text = session.error().message();
        if (c.prefix) {
            EXPECT_TRUE(text.starts_with(c.message)) << text;
        } else {
            EXPECT_EQ(text, c.message);
        }
        if (c.core_kind) {
            const auto* core = std::get_if<core::CoreError>(&session.error().kind());
            ASSERT_NE(core, nullptr);
            EXPECT_EQ(core->kind(), *c.core_kind);
        } else {
            EXPECT_TRUE(other_text(session.error()));
        }
        if (c.before_registry) {
            EXPECT_FALSE(fs::exists(vault.root() / "global"));
            EXPECT_FALSE(fs::exists(vault.root() / "projects"));
            EXPECT_FALSE(fs::exists(vault.base() / "nowhere"));
            EXPECT_FALSE(fs::exists(vault.base() / ".vaults"));
        }
    }
}

// Out of scope must look exactly like absent to every method: the same
// NotFound, no confirmation asked, no record or intake file touched and the
// audit log byte for byte as it was.
TEST(ScopeTest, OutOfScopeIsNotAddressableAndLeavesNoTrace) {
    TempVault vault;
    vault.put(literal("dev/db/password", "global"));
    vault.put(literal("dev/db/password", "alpha"), "alpha");
    ASSERT_TRUE(vault.session().reveal("secret:dev/db/password", std::nullopt));
    const std::string audit_before = vault.audit_bytes();
    ASSERT_FALSE(audit_before.empty());
    const std::string global_before = vault.record_bytes("secret:dev/db/password");
    const std::string alpha_before = vault.record_bytes("secret:dev/db/password", "alpha");
    const auto files_before = names_in(vault.dir());
    auto approve = std::make_shared<MockConfirmer>(core::Decision::Approved);

    using Call = std::function<bool(const Session&, std::string_view, OptText)>;  // true: NotFound
    const auto not_found = [](const auto& result) {
        return !result && is_not_found(result.error()) && result.error().message() == "not addressable";
    };
    struct Method {
        const char* name;
        Operation needs;
        bool absent_is_not_found;
        Call call;
    };
    const Method methods[] = {
        {"status_of", Operation::Metadata, true,
         [&](const Session& s, std::string_view at, OptText p) { return not_found(s.status_of(at, p)); }},
        {"fingerprint_of", Operation::Metadata, true,
         [&](const Session& s, std::string_view at, OptText p) { return not_found(s.fingerprint_of(at, p)); }},
        {"reveal", Operation::Reveal, true,
         [&](const Session& s, std::string_view at, OptText p) { return not_found(s.reveal(at, p)); }},
        {"set", Operation::Write, false,
         [&](const Session& s, std::string_view at, OptText p) {
             return not_found(s.set(at, core::SecretValue::from_text("x"), p));
         }},
        {"generate", Operation::Write, false,
         [&](const Session& s, std::string_view at, OptText p) {
             return not_found(s.generate(at, 8, "nonsense", std::nullopt, p));
         }},
        {"remove", Operation::Write, true,
         [&](const Session& s, std::string_view at, OptText p) { return not_found(s.remove(at, p)); }},
        {"edit_metadata", Operation::Write, true,
         [&](const Session& s, std::string_view at, OptText p) {
             return not_found(s.edit_metadata(at, "high", "d", true, std::nullopt, p));
         }},
        {"request_intake", Operation::Write, false,
         [&](const Session& s, std::string_view at, OptText p) {
             return not_found(s.request_intake(at, "nonsense", std::nullopt, p, std::nullopt));
         }},
    };
    struct Case {
        const char* name;
        std::function<core::AgentScope(Operation)> scope;
        std::string_view at;
        OptText project;
    };
    const Case cases[] = {
        {"operation not granted",
         [](Operation needs) {
             core::AgentScope scope = scope_of({});
             for (Operation o : {Operation::Metadata, Operation::Inject, Operation::Reveal, Operation::Write}) {
                 if (o != needs) scope.operations.insert(o);
             }
             return scope;
         },
         "secret:dev/db/password", std::nullopt},
        {"projects listed, global asked", [](Operation o) { return scope_of({o}, Names{"alpha"}); },
         "secret:dev/db/password", std::nullopt},
        {"other project", [](Operation o) { return scope_of({o}, Names{"beta"}); }, "secret:dev/db/password", "alpha"},
        {"empty project set", [](Operation o) { return scope_of({o}, Names{}); }, "secret:dev/db/password", "alpha"},
        {"other environment", [](Operation o) { return scope_of({o}, std::nullopt, Names{"prod"}); },
         "secret:dev/db/password", std::nullopt},
        {"absent", [](Operation o) { return scope_of({o}); }, "secret:dev/db/absent", std::nullopt},
    };
    for (const Method& method : methods) {
        for (const Case& c : cases) {
            if (std::string_view(c.name) == "absent" && !method.absent_is_not_found) continue;
            SCOPED_TRACE(std::string(method.name) + ": " + c.name);
            Session session = vault.session(c.scope(method.needs), asking(approve));
            EXPECT_TRUE(method.call(session, c.at, c.project));
        }
    }
    EXPECT_EQ(approve->asked(), 0);
    EXPECT_EQ(vault.audit_bytes(), audit_before);
    EXPECT_EQ(vault.record_bytes("secret:dev/db/password"), global_before);
    EXPECT_EQ(vault.record_bytes("secret:dev/db/password", "alpha"), alpha_before);
    EXPECT_EQ(names_in(vault.dir()), files_before);
    EXPECT_FALSE(fs::exists(vault.dir("beta")));
    EXPECT_FALSE(fs::exists(vault.root() / "intake"));
}

// A record the session's key cannot open stops every operation on it, with
// the file and the audit log left as they were.
TEST(ForeignRecordTest, EveryOperationStopsAtACryptoError) {
    TempVault vault;
    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    bytes.fill(0x5a);
    vault.put(literal("dev/app/token", "theirs"), std::nullopt, core::MasterKey(bytes));
    const std::string before = vault.record_bytes("secret:dev/app/token");
    Session session = vault.session(all_operations(), asking(std::make_shared<MockConfirmer>(core::Decision::Approved)));
    constexpr std::string_view at = "secret:dev/app/token";
    const auto message = [](const auto& result) { return result ? std::string("<succeeded>") : result.error().message(); };
    const std::pair<const char*, std::string> outcomes[] = {
        {"status_of", message(session.status_of(at, std::nullopt))},
        {"reveal", message(session.reveal(at, std::nullopt))},
        {"set", message(session.set(at, core::SecretValue::from_text("mine"), std::nullopt))},
        {"generate", message(session.generate(at, 8, std::nullopt, std::nullopt, std::nullopt))},
        {"remove", message(session.remove(at, std::nullopt))},
        {"edit_metadata",
         message(session.edit_metadata(at, "low", std::nullopt, std::nullopt, std::nullopt, std::nullopt))},
    };
    for (const auto& [name, text] : outcomes) EXPECT_EQ(text, "crypto operation failed") << name;
    EXPECT_EQ(vault.record_bytes("secret:dev/app/token"), before);
    EXPECT_EQ(vault.audit_bytes(), "");
}

}  // namespace
}  // namespace tarnel::session
