#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/base/error.hpp"

namespace tarnel::core {

// Declaration order is part of the log's vocabulary; only the words reach disk.
// OutOfScopeAttempt stays last: the word table in audit.cpp is checked against it.
enum class AuditAction : std::uint8_t {
    Access,
    Reveal,
    Inject,
    Approve,
    Deny,
    Timeout,
    SensitivityDowngrade,
    UnattendedDelivery,
    Package,
    ProviderInvocation,
    Create,
    Edit,
    Delete,
    ScopeGrant,
    OutOfScopeAttempt,
};

std::string_view audit_action_word(AuditAction action) noexcept;
// The action a word names; none for a word outside the vocabulary.
std::optional<AuditAction> audit_action_from_word(std::string_view word) noexcept;
// Every word of the vocabulary, in declaration order.
std::span<const std::string_view> audit_action_words() noexcept;

enum class Actor : std::uint8_t { Agent, Human };

std::string_view actor_word(Actor actor) noexcept;

// One line of the audit log. Built by value with consuming setters.
struct AuditEvent {
    std::string ts;
    AuditAction action;
    std::optional<std::string> coordinate;
    std::optional<std::string> environment;
    std::string result;
    std::optional<std::string> origin;
    std::optional<std::string> fingerprint;
    std::optional<std::string> requester_note;

    AuditEvent(std::string ts, AuditAction action, std::string result)
        : ts(std::move(ts)), action(action), result(std::move(result)) {}

    AuditEvent at(std::string_view coordinate_text, std::string_view environment_text) && {
        coordinate = std::string(coordinate_text);
        environment = std::string(environment_text);
        return std::move(*this);
    }
    AuditEvent by(Actor actor) && {
        origin = std::string(actor_word(actor));
        return std::move(*this);
    }

    // Compact JSON, keys in field order, absent fields left out, no line feed.
    Result<std::string> to_json() const;
};

class AuditSink {
public:
    virtual ~AuditSink() = default;
    virtual Result<void> record(const AuditEvent& event) const = 0;
    // The events in their order; a sink that can appends them in one go.
    // The first failure is returned, after the rest were tried.
    virtual Result<void> record_all(std::span<const AuditEvent> events) const;
};

// Keeps what is recorded through it and hands it to `sink` in one
// record_all when flushed, and when dropped: the events of one operation
// reach the log in one write and one sync.
class AuditBatch final : public AuditSink {
public:
    explicit AuditBatch(const AuditSink& sink) : sink_(sink) {}
    ~AuditBatch() override { (void)flush(); }
    AuditBatch(const AuditBatch&) = delete;
    AuditBatch& operator=(const AuditBatch&) = delete;

    Result<void> record(const AuditEvent& event) const override;
    Result<void> flush() const;

private:
    const AuditSink& sink_;
    mutable std::mutex mutex_;
    mutable std::vector<AuditEvent> events_;
};

// Appends each event as one line to a file: one open, one write and one full
// sync per call, so concurrent writers never interleave within a line and an
// acknowledged event survives a crash; record_all writes all its lines in
// that one write.
class FileAuditSink final : public AuditSink {
public:
    explicit FileAuditSink(std::filesystem::path path) : path_(std::move(path)) {}
    static FileAuditSink under_root(const std::filesystem::path& root) { return FileAuditSink(root / "audit.log"); }

    const std::filesystem::path& path() const noexcept { return path_; }
    Result<void> record(const AuditEvent& event) const override;
    Result<void> record_all(std::span<const AuditEvent> events) const override;

private:
    std::filesystem::path path_;
};

}  // namespace tarnel::core
