#include "wrapper/allowlist.hpp"

#include <fcntl.h>
#include <fnmatch.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "core/store/atomic_write.hpp"
#include "core/store/fs.hpp"
#include "core/codec/json_writer.hpp"
#include "core/keys/proof.hpp"
#include "core/oversight/request_file.hpp"
#include "core/codec/unicode_space.hpp"
#include "core/codec/utf8.hpp"

namespace tarnel::wrapper {

namespace fs = std::filesystem;

namespace {

constexpr int kFormat = 1;

bool glob_matches(const char* pattern, std::string_view text) {
    return ::fnmatch(pattern, std::string(text).c_str(), 0) == 0;
}

core::CoreError format_error(const fs::path& path, std::string_view why) {
    return core::CoreError(core::ErrorKind::Io, "allowlist " + core::quoted_path(path) + ": " + std::string(why));
}

// The earlier form: one path a line, "#" comment lines, white space trimmed.
std::vector<AllowEntry> earlier_entries(std::string_view text) {
    std::vector<AllowEntry> entries;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = core::trim_unicode_space(line);
        if (line.empty() || line.front() == '#') continue;
        entries.push_back(AllowEntry{canonical_or_owned(fs::path(std::string(line))), {}, true, {}});
    }
    return entries;
}

core::Result<std::vector<std::string>> texts_of(const rapidjson::Value& entry, const char* name) {
    const rapidjson::Value* list = core::nullable_member(entry, name);
    if (list == nullptr || !list->IsArray()) {
        return core::fail(core::ErrorKind::Format, "`" + std::string(name) + "` must be a list");
    }
    std::vector<std::string> texts;
    for (const auto& item : list->GetArray()) {
        if (!item.IsString())
            return core::fail(core::ErrorKind::Format, "`" + std::string(name) + "` must hold strings");
        texts.emplace_back(item.GetString(), item.GetStringLength());
    }
    return texts;
}

core::Result<AllowEntry> entry_of(const rapidjson::Value& value) {
    if (!value.IsObject()) return core::fail(core::ErrorKind::Format, "`entries` must hold objects");
    auto program = core::text_member(value, "program");
    if (!program) return core::fail(std::move(program.error()));
    if (program->empty() || program->front() != '/') {
        return core::fail(core::ErrorKind::Format, "`program` must be an absolute path");
    }
    auto arguments = texts_of(value, "arguments");
    if (!arguments) return core::fail(std::move(arguments.error()));
    auto more = core::bool_member(value, "more_arguments");
    if (!more) return core::fail(std::move(more.error()));
    auto variables = texts_of(value, "variables");
    if (!variables) return core::fail(std::move(variables.error()));
    return AllowEntry{fs::path(std::move(*program)), std::move(*arguments), *more, std::move(*variables)};
}

// The sealed form without its seal: `{"format":1,"entries":[...]`.
core::Result<std::string> open_object_of(const std::vector<AllowEntry>& entries) {
    rapidjson::StringBuffer buffer;
    core::json::Writer writer(buffer);
    bool ok = writer.StartObject() && core::json::key(writer, "format") && writer.Int(kFormat) &&
              core::json::key(writer, "entries") && writer.StartArray();
    for (const AllowEntry& entry : entries) {
        ok = ok && writer.StartObject() && core::json::member(writer, "program", entry.program.string()) &&
             core::json::key(writer, "arguments") && writer.StartArray();
        for (const std::string& argument : entry.arguments) ok = ok && writer.String(argument.data(), argument.size());
        ok = ok && writer.EndArray() && core::json::key(writer, "more_arguments") &&
             writer.Bool(entry.more_arguments) && core::json::key(writer, "variables") && writer.StartArray();
        for (const std::string& name : entry.variables) ok = ok && writer.String(name.data(), name.size());
        ok = ok && writer.EndArray() && writer.EndObject();
    }
    ok = ok && writer.EndArray();
    if (!ok) return core::fail(core::ErrorKind::Format, "the allowlist holds text that is not UTF-8");
    return core::json::text_of(buffer);
}

// The sealed text as checked: without the one line feed the writer ends it with.
std::string_view sealed_text(std::string_view text) {
    if (text.ends_with('\n')) text.remove_suffix(1);
    return text;
}

}  // namespace

fs::path canonical_or_owned(const fs::path& path) {
    std::error_code error;
    fs::path canonical = fs::canonical(path, error);
    if (error) return path;
    return canonical;
}

bool AllowEntry::matches(const fs::path& executable, const std::vector<std::string>& args) const {
    // The entry's path was made canonical when it was sealed; resolving it
    // again would follow whatever link now stands at a path the user can write.
    if (program != executable) return false;
    if (more_arguments ? args.size() < arguments.size() : args.size() != arguments.size()) return false;
    return std::equal(arguments.begin(), arguments.end(), args.begin());
}

bool AllowEntry::permits(std::string_view name) const {
    return std::find(variables.begin(), variables.end(), name) != variables.end();
}

std::string AllowEntry::shown() const {
    std::string text = program.string();
    for (const std::string& name : variables) text += " --env " + name;
    if (arguments.empty() && more_arguments) return text + " -- *";
    text += " --";
    for (const std::string& argument : arguments) text += " " + argument;
    if (more_arguments) text += " *";
    return text;
}

bool runs_commands(const fs::path& program) {
    static constexpr std::array kPatterns{"sh",  "bash",  "dash", "zsh", "python*", "node", "perl", "ruby",
                                          "env", "xargs", "find", "git", "make",    "npm",  "npx",  "ssh"};
    for (const fs::path& path : {program, canonical_or_owned(program)}) {
        const std::string name = path.filename().string();
        for (const char* pattern : kPatterns) {
            if (glob_matches(pattern, name)) return true;
        }
    }
    return false;
}

bool steers_programs(std::string_view name) {
    // Loaders and interpreters, then the names that say where a program
    // finds its configuration (which can name commands to run), then the
    // commands programs start on their own.
    static constexpr std::array kPatterns{
        "LD_*",          "GCONV_PATH",   "PATH",           "BASH_ENV",     "ENV",          "SHELLOPTS",
        "PS4",           "IFS",          "PROMPT_COMMAND", "PYTHON*",      "NODE_OPTIONS", "NODE_PATH",
        "PERL5*",        "PERLLIB",      "RUBYOPT",        "RUBYLIB",      "GIT_*",        "JAVA_TOOL_OPTIONS",
        "_JAVA_OPTIONS", "LUA_INIT*",    "LUA_PATH*",      "LUA_CPATH*",   "HOME",         "XDG_*",
        "ZDOTDIR",       "npm_config_*", "NPM_CONFIG_*",   "CARGO_*",      "RUSTC*",       "MAKEFLAGS",
        "EDITOR",        "VISUAL",       "PAGER",          "MANPAGER",     "LESSOPEN",     "LESSCLOSE",
        "BROWSER",       "SHELL",        "SSH_ASKPASS",    "SUDO_ASKPASS", "CC",           "CXX"};
    for (const char* pattern : kPatterns) {
        if (glob_matches(pattern, name)) return true;
    }
    return false;
}

AllowVerdict Allowlist::admits(const fs::path& executable, const std::vector<std::string>& args,
                               const std::vector<RunVariable>& variables) const {
    if (!sealed_) return verdict::NotSealed{};
    bool listed = false;
    std::optional<std::string> refused;
    const fs::path canonical = canonical_or_owned(executable);
    for (const AllowEntry& entry : entries_) {
        if (entry.program != canonical) continue;
        listed = true;
        if (!entry.matches(canonical, args)) continue;
        const auto unpermitted = std::find_if(variables.begin(), variables.end(), [&](const RunVariable& variable) {
            return (!variable.from_vault || steers_programs(variable.name)) && !entry.permits(variable.name);
        });
        if (unpermitted == variables.end()) return verdict::Admitted{};
        if (!refused) refused = std::string(unpermitted->name);
    }
    if (refused) return verdict::NotPermitted{std::move(*refused)};
    if (listed) return verdict::OtherArguments{};
    return verdict::NotListed{};
}

Allowlist Allowlist::under_root(const fs::path& root, const core::MasterKey& key) {
    Allowlist allowlist;
    auto contents = read_allowlist(root);
    if (!contents) {
        allowlist.sealed_ = false;
        return allowlist;
    }
    if (contents->form == AllowlistContents::Form::Absent) return allowlist;
    if (!sealed_by(*contents, key)) {
        allowlist.sealed_ = false;
        return allowlist;
    }
    allowlist.entries_ = std::move(contents->entries);
    return allowlist;
}

core::Result<AllowlistContents> read_allowlist(const fs::path& root) {
    const fs::path path = root / "allowlist";
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    if (const auto failed = core::read_regular_file(AT_FDCWD, path.c_str(), kMaxAllowlistBytes, 0, bytes, size)) {
        if (failed->kind == core::FileReadError::Kind::Absent) return AllowlistContents{};
        return core::fail(format_error(path, failed->text(kMaxAllowlistBytes)));
    }
    AllowlistContents contents;
    contents.text.assign(reinterpret_cast<const char*>(bytes.data()), size);
    if (!core::is_valid_utf8(contents.text)) return core::fail(format_error(path, "not UTF-8"));
    if (!core::trim_unicode_space(contents.text).starts_with('{')) {
        contents.form = AllowlistContents::Form::Earlier;
        contents.entries = earlier_entries(contents.text);
        return contents;
    }
    auto document = core::parse_request_text(contents.text);
    if (!document) return core::fail(format_error(path, document.error().display()));
    const rapidjson::Value* format = core::nullable_member(*document, "format");
    if (format == nullptr || !format->IsInt() || format->GetInt() != kFormat) {
        return core::fail(format_error(path, "`format` must be 1"));
    }
    const rapidjson::Value* entries = core::nullable_member(*document, "entries");
    if (entries == nullptr || !entries->IsArray()) return core::fail(format_error(path, "`entries` must be a list"));
    for (const auto& value : entries->GetArray()) {
        auto entry = entry_of(value);
        if (!entry) return core::fail(format_error(path, entry.error().display()));
        contents.entries.push_back(std::move(*entry));
    }
    contents.form = AllowlistContents::Form::Sealed;
    return contents;
}

bool sealed_by(const AllowlistContents& contents, const core::MasterKey& key) {
    if (contents.form != AllowlistContents::Form::Sealed) return false;
    const auto proof_key = core::ProofKey::derive(key, core::ProofPurpose::Allowlist);
    if (!proof_key) return false;
    return core::check_sealed_object(sealed_text(contents.text), *proof_key).state == core::SealState::Sealed;
}

core::Result<std::string> sealed_allowlist_text(const std::vector<AllowEntry>& entries, const core::MasterKey& key) {
    const auto proof_key = core::ProofKey::derive(key, core::ProofPurpose::Allowlist);
    if (!proof_key) return core::fail(core::CoreError::crypto());
    auto open = open_object_of(entries);
    if (!open) return core::fail(std::move(open.error()));
    return core::seal_object(*open, *proof_key) + "\n";
}

core::Result<void> write_allowlist(const fs::path& root, const std::vector<AllowEntry>& entries,
                                   const core::MasterKey& key) {
    auto text = sealed_allowlist_text(entries, key);
    if (!text) return core::fail(std::move(text.error()));
    return core::atomic_write_as(root / "allowlist", *text, "allowlist");
}

}  // namespace tarnel::wrapper
