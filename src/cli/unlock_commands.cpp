// `tarnel unlock`, `lock`, `status` and `mcp-entry`: a server that holds the
// unlocked vault for one scope, so an agent's host starts only
// `tarnel-mcp --connect`, which carries no secret.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>
#include <optional>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/prompt.hpp"
#include "cli/server_control.hpp"
#include "cli/server_start.hpp"
#include "cli/terminal_text.hpp"
#include "session/key_handover.hpp"
#include "session/owner_proof.hpp"
#include "session/runtime_dir.hpp"

namespace tarnel::cli {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kServerStart = 60s;
constexpr std::uint64_t kMaxIdleSeconds = 7 * 24 * 3600;

struct UnlockOptions {
    std::string name{session::kDefaultServerName};
    std::string idle = "15m";
    std::optional<std::string> operations;
    std::optional<std::string> projects;
    std::optional<std::string> environments;
    std::optional<std::string> config;
};

// "90s", "15m", "2h" or "1d"; a bare number counts seconds.
std::optional<std::uint64_t> idle_seconds(std::string_view text) {
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
    std::uint64_t scale = 0;
    if (unit.empty() || unit == "s")
        scale = 1;
    else if (unit == "m")
        scale = 60;
    else if (unit == "h")
        scale = 3600;
    else if (unit == "d")
        scale = 86400;
    if (scale == 0 || number == 0 || number > kMaxIdleSeconds / scale) return std::nullopt;
    return number * scale;
}

std::string duration_text(std::uint64_t seconds) {
    if (seconds >= 3600) return fmt::format("{}h {:02}m", seconds / 3600, seconds % 3600 / 60);
    if (seconds >= 60) return fmt::format("{}m {:02}s", seconds / 60, seconds % 60);
    return fmt::format("{}s", seconds);
}

std::string names_text(const rapidjson::Value& answer, const char* key) {
    if (!answer.HasMember(key) || !answer[key].IsArray()) return "any";
    std::string text;
    for (const auto& item : answer[key].GetArray()) {
        if (!item.IsString()) continue;
        if (!text.empty()) text += ",";
        text += terminal_safe(item.GetString());
    }
    return text.empty() ? "none" : text;
}

std::string scope_text(const rapidjson::Value& answer) {
    return fmt::format("operations {}; projects {}; environments {}", names_text(answer, "operations"),
                       names_text(answer, "projects"), names_text(answer, "environments"));
}

std::uint64_t number_of(const rapidjson::Value& answer, const char* key) {
    return answer.HasMember(key) && answer[key].IsUint64() ? answer[key].GetUint64() : 0;
}

// What another process of the user wrote reaches the terminal escaped.
std::string text_of(const rapidjson::Value& answer, const char* key) {
    return answer.HasMember(key) && answer[key].IsString() ? terminal_safe(answer[key].GetString()) : "";
}

// Sockets whose server was killed are removed; a live one refuses the unlock.
session::SessionResult<void> clear_the_way(const session::ServerPaths& paths, std::string_view name) {
    if (auto live = ask_server(paths, "status")) {
        return session::fail(session::SessionError::other(fmt::format(
            "`{}` is already unlocked (server pid {}); run `tarnel lock{}` first", name, number_of(*live, "pid"),
            name == session::kDefaultServerName ? "" : fmt::format(" --name {}", name))));
    }
    for (const fs::path* socket : {&paths.mcp, &paths.control}) {
        if (session::is_stale_socket(*socket)) ::unlink(socket->c_str());
    }
    // A handover socket is left behind by an unlock that was interrupted.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(paths.mcp.parent_path(), error)) {
        if (entry.path().filename().string().starts_with(".handover-") && session::is_stale_socket(entry.path())) {
            ::unlink(entry.path().c_str());
        }
    }
    return {};
}

// The key from the owner: the passphrase typed here, or the keyring's key for
// a vault that has no passphrase (as any process of the user could get it).
session::SessionResult<core::MasterKey> unlocking_key(const fs::path& root) {
    auto proof = session::owner_proof_for(root);
    if (!proof) return std::unexpected(std::move(proof.error()));
    if (*proof == session::OwnerProof::ShownCode) return session::keyring_key(root);
    if (!has_terminal()) {
        return session::fail(session::SessionError::denied(
            "tarnel unlock needs a terminal, where you type the vault passphrase; nothing unlocked"));
    }
    PromptFailure failure;
    auto passphrase = ask_secret("Vault passphrase: ", failure);
    if (!passphrase) return session::fail(session::SessionError::other(failure.text));
    return session::owner_key_from_passphrase(root, std::move(*passphrase));
}

int run_unlock(const GlobalOptions& global, const UnlockOptions& options) {
    auto root = vault_root(global);
    if (!root) return report(root.error());
    const auto idle = idle_seconds(options.idle);
    if (!idle) {
        print_error(fmt::format("--idle: `{}` is not a time such as 90s, 15m, 2h or 1d (at most 7d)", options.idle));
        return kExitUsage;
    }
    if (!options.operations && !options.config) {
        print_error("give the agent's scope: --operations (and --projects, --environments) or --config FILE");
        return kExitUsage;
    }
    auto dir = session::runtime_dir(*root);
    if (!dir) return report(dir.error());
    auto paths = session::server_paths(*dir, options.name);
    if (!paths) return report(paths.error());
    if (auto clear = clear_the_way(*paths, options.name); !clear) return report(clear.error());
    auto interpreter = server_interpreter();
    if (!interpreter) return report(interpreter.error());
    if (!session::attaching_is_restricted()) {
        std::fprintf(stderr,
                     "tarnel: warning: on this system a process of your user may attach to your others "
                     "(no Yama, or kernel.yama.ptrace_scope is 0); one that attaches to tarnel or the server "
                     "in the first moments after it starts can take the key. Set kernel.yama.ptrace_scope "
                     "to 1 or more to close that\n");
    }
    auto key = unlocking_key(*root);
    if (!key) return report(key.error());
    auto handover = session::KeyHandover::listen(*dir);
    if (!handover) return report(handover.error());

    // -I: no PYTHON* variable, user site or working directory decides what runs.
    std::vector<std::string> arguments{*interpreter,
                                       "-I",
                                       "-m",
                                       "tarnel_mcp",
                                       "--serve-unlocked",
                                       "--name",
                                       options.name,
                                       "--idle",
                                       std::to_string(*idle),
                                       "--handover",
                                       handover->path().string(),
                                       "--vault-dir",
                                       root->string()};
    const std::pair<const char*, const std::optional<std::string>*> passed[] = {
        {"--operations", &options.operations},
        {"--projects", &options.projects},
        {"--environments", &options.environments},
        {"--config", &options.config}};
    for (const auto& [flag, value] : passed) {
        if (!*value) continue;
        arguments.emplace_back(flag);
        arguments.push_back(flag == std::string_view("--config") ? fs::absolute(**value).string() : **value);
    }
    auto pid = spawn_server(arguments, paths->log);
    if (!pid) return report(pid.error());
    SpawnedServer server{*pid, std::nullopt};
    auto failed = [&](std::string text) {
        server.stop();
        const std::string log = log_text(paths->log);
        print_error(log.empty() ? text : fmt::format("{}\n{}", text, terminal_safe(log)));
        return kExitError;
    };
    auto connection = handover->hand_over(server.pid, *key, kServerStart, [&] { return server.running(); });
    if (!connection) {
        server.stop();
        // A server that ended at once said why in its log; 2 is its word for a
        // configuration it refuses.
        const std::string log = log_text(paths->log);
        if (!log.empty()) {
            print_error(fmt::format("the server did not start:\n{}", terminal_safe(log)));
            return server.exit_code == 2 ? kExitUsage : kExitError;
        }
        return report(connection.error());
    }
    auto answer = read_line(connection->get(), kServerStart);
    if (!answer) return failed("the server took the key but never said it was ready");
    if (answer->rfind("error ", 0) == 0) {
        return failed(fmt::format("the server refused: {}", terminal_safe(answer->substr(6))));
    }
    rapidjson::Document ready;
    if (answer->rfind("ready ", 0) != 0 || ready.Parse(answer->c_str() + 6).HasParseError() || !ready.IsObject()) {
        return failed("the server's answer was not understood");
    }
    std::printf(
        "Unlocked `%s` for %s (server pid %d)\n  scope: %s\n  locks after %s without a call, or with `tarnel lock%s`\n"
        "  agent hosts connect with `tarnel-mcp --connect%s` (see `tarnel mcp-entry`)\n",
        options.name.c_str(), root->c_str(), static_cast<int>(number_of(ready, "pid")), scope_text(ready).c_str(),
        duration_text(*idle).c_str(),
        options.name == session::kDefaultServerName ? "" : fmt::format(" --name {}", options.name).c_str(),
        options.name == session::kDefaultServerName ? "" : fmt::format(" --name {}", options.name).c_str());
    return kExitOk;
}

int run_lock(const GlobalOptions& global, const std::string& name) {
    auto root = vault_root(global);
    if (!root) return report(root.error());
    auto dir = session::runtime_dir(*root);
    if (!dir) return report(dir.error());
    auto paths = session::server_paths(*dir, name);
    if (!paths) return report(paths.error());
    auto answer = ask_server(*paths, "lock");
    std::vector<pid_t> pids;
    const auto processes = server_processes(*root);
    for (const auto& process : processes) {
        if (process.name == name) pids.push_back(process.pid);
    }
    const auto holder = key_holder(processes, name);
    if (!answer && pids.empty()) {
        std::printf("`%s` is not unlocked\n", name.c_str());
        return kExitOk;
    }
    // Told through its socket, and by signal too: a socket can be renamed away
    // by another process of the user, or answered by an impostor.
    for (pid_t pid : pids) ::kill(pid, SIGTERM);
    auto all_ended = [&] { return std::all_of(pids.begin(), pids.end(), ended); };
    for (int tries = 0; tries < 100 && !all_ended(); ++tries) std::this_thread::sleep_for(50ms);
    for (pid_t pid : pids) {
        if (!ended(pid)) ::kill(pid, SIGKILL);
    }
    const unsigned long long shown = answer ? number_of(*answer, "pid") : static_cast<unsigned long long>(*holder);
    std::printf("Locked `%s` (server pid %llu)\n", name.c_str(), shown);
    return kExitOk;
}

void print_status(const std::string& name, const std::optional<rapidjson::Document>& answer) {
    if (!answer) {
        std::printf("%s: locked\n", name.c_str());
        return;
    }
    const auto& a = *answer;
    std::printf("%s: unlocked (server pid %llu)\n  vault: %s\n  scope: %s\n  locks in %s without a call\n",
                name.c_str(), static_cast<unsigned long long>(number_of(a, "pid")), text_of(a, "vault").c_str(),
                scope_text(a).c_str(), duration_text(number_of(a, "idle_left")).c_str());
    const std::uint64_t connections = number_of(a, "connections");
    std::printf("  clients: %llu connected\n", static_cast<unsigned long long>(connections));
    if (a.HasMember("clients") && a["clients"].IsArray()) {
        for (const auto& client : a["clients"].GetArray()) {
            if (client.IsString()) std::printf("    %s\n", terminal_safe(client.GetString()).c_str());
        }
    }
}

int run_status(const GlobalOptions& global, const std::optional<std::string>& name) {
    auto root = vault_root(global);
    if (!root) return report(root.error());
    auto dir = session::runtime_dir(*root);
    if (!dir) return report(dir.error());
    std::vector<std::string> names;
    if (name) {
        names.push_back(*name);
    } else {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(*dir, error)) {
            const fs::path file = entry.path().filename();
            if (file.extension() == ".ctl" && session::check_server_name(file.stem().string())) {
                names.push_back(file.stem().string());
            }
        }
        std::sort(names.begin(), names.end());
    }
    const auto processes = server_processes(*root);
    for (const auto& process : processes) {
        if ((!name || process.name == *name) && std::find(names.begin(), names.end(), process.name) == names.end()) {
            names.push_back(process.name);
        }
    }
    if (names.empty()) {
        std::printf("Nothing is unlocked\n");
        return kExitOk;
    }
    for (const auto& each : names) {
        auto paths = session::server_paths(*dir, each);
        if (!paths) return report(paths.error());
        auto answer = ask_server(*paths, "status");
        const auto holder = key_holder(processes, each);
        if (!answer && holder) {
            std::printf("%s: unlocked (server pid %d) but unreachable: its sockets are gone; `tarnel lock%s` ends it\n",
                        terminal_safe(each).c_str(), *holder,
                        each == session::kDefaultServerName ? "" : fmt::format(" --name {}", each).c_str());
            continue;
        }
        print_status(each, answer);
    }
    return kExitOk;
}

int run_mcp_entry(const GlobalOptions& global, const std::string& name) {
    if (auto checked = session::check_server_name(name); !checked) return report(checked.error());
    auto root = vault_root(global);
    if (!root) return report(root.error());
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    writer.SetIndent(' ', 2);
    std::error_code error;
    const std::string program = (fs::read_symlink("/proc/self/exe", error).parent_path() / "tarnel-mcp").string();
    const std::string entry = name == session::kDefaultServerName ? "tarnel" : fmt::format("tarnel-{}", name);
    writer.StartObject();
    writer.Key("mcpServers");
    writer.StartObject();
    writer.Key(entry.c_str());
    writer.StartObject();
    writer.Key("command");
    writer.String(program.c_str());
    writer.Key("args");
    writer.StartArray();
    writer.String("--connect");
    if (name != session::kDefaultServerName) {
        writer.String("--name");
        writer.String(name.c_str());
    }
    // The host must look where the server is: hosts often start their
    // servers with few variables, so the runtime directory is named, else
    // (the socket then being under the vault root) the root.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const bool has_runtime = runtime != nullptr && *runtime == '/';
    if (!has_runtime) {
        writer.String("--vault-dir");
        writer.String(root->c_str());
    }
    writer.EndArray();
    if (has_runtime) {
        writer.Key("env");
        writer.StartObject();
        writer.Key("XDG_RUNTIME_DIR");
        writer.String(runtime);
        writer.EndObject();
    }
    writer.EndObject();
    writer.EndObject();
    writer.EndObject();
    std::printf("%s\n", buffer.GetString());
    return kExitOk;
}

}  // namespace

void add_unlock_commands(CLI::App& app, const GlobalOptions& options, int& status) {
    auto unlock_options = std::make_shared<UnlockOptions>();
    auto* unlock = app.add_subcommand(
        "unlock", "Ask the passphrase here and start a server that holds the unlocked vault for one agent scope");
    unlock->add_option("--operations", unlock_options->operations, "What agents may do: metadata,inject,reveal,write")
        ->type_name("LIST");
    unlock->add_option("--projects", unlock_options->projects, "The project vaults agents may address ('*': any)")
        ->type_name("LIST");
    unlock->add_option("--environments", unlock_options->environments, "The environments agents may address ('*': any)")
        ->type_name("LIST");
    unlock->add_option("--config", unlock_options->config, "A TOML file with the scope (as tarnel-mcp reads it)")
        ->type_name("FILE");
    unlock->add_option("--idle", unlock_options->idle, "Lock after this long without a call (default 15m)")
        ->type_name("TIME");
    unlock->add_option("--name", unlock_options->name, "A name for this server, to unlock several scopes side by side")
        ->type_name("NAME");
    unlock->callback([&options, &status, unlock_options] { status = run_unlock(options, *unlock_options); });

    auto lock_name = std::make_shared<std::string>(session::kDefaultServerName);
    auto* lock = app.add_subcommand("lock", "Stop an unlocked server; it forgets the key");
    lock->add_option("--name", *lock_name, "The name given to tarnel unlock")->type_name("NAME");
    lock->callback([&options, &status, lock_name] { status = run_lock(options, *lock_name); });

    auto status_name = std::make_shared<std::optional<std::string>>();
    auto* status_command = app.add_subcommand("status", "Show which names are unlocked, their scope and clients");
    status_command->add_option("--name", *status_name, "Only this name")->type_name("NAME");
    status_command->callback([&options, &status, status_name] { status = run_status(options, *status_name); });

    auto entry_name = std::make_shared<std::string>(session::kDefaultServerName);
    auto* entry = app.add_subcommand("mcp-entry", "Print the entry for an agent host's MCP configuration");
    entry->add_option("--name", *entry_name, "The name given to tarnel unlock")->type_name("NAME");
    entry->callback([&options, &status, entry_name] { status = run_mcp_entry(options, *entry_name); });
}

}  // namespace tarnel::cli
