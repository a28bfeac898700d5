#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/model/coordinate.hpp"

namespace tarnel::core {

// A restriction on names: any name, or only those of a set (byte-for-byte,
// case-sensitive). An empty set admits nothing.
class ScopeFilter {
public:
    static ScopeFilter any() { return ScopeFilter(std::nullopt); }
    static ScopeFilter only(std::set<std::string, std::less<>> names) { return ScopeFilter(std::move(names)); }

    bool is_any() const noexcept { return !names_; }
    bool admits(std::string_view name) const { return !names_ || names_->contains(name); }
    // The set of an only filter; empty for any.
    const std::set<std::string, std::less<>>& names() const;

    friend bool operator==(const ScopeFilter&, const ScopeFilter&) = default;

private:
    explicit ScopeFilter(std::optional<std::set<std::string, std::less<>>> names) : names_(std::move(names)) {}
    std::optional<std::set<std::string, std::less<>>> names_;
};

enum class Operation : std::uint8_t { Metadata, Inject, Reveal, Write };

// The word used for an operation in a scope dictionary.
std::string_view operation_word(Operation operation) noexcept;
std::optional<Operation> operation_from_word(std::string_view word) noexcept;

class OperationSet {
public:
    OperationSet() = default;
    OperationSet(std::initializer_list<Operation> operations) {
        for (auto operation : operations) insert(operation);
    }
    void insert(Operation operation) noexcept { bits_ |= bit(operation); }
    bool contains(Operation operation) const noexcept { return (bits_ & bit(operation)) != 0; }
    bool empty() const noexcept { return bits_ == 0; }

    friend bool operator==(const OperationSet&, const OperationSet&) = default;

private:
    static std::uint8_t bit(Operation operation) noexcept {
        return static_cast<std::uint8_t>(1U << static_cast<unsigned>(operation));
    }
    std::uint8_t bits_ = 0;
};

// The fixed boundary of one agent session: which project vaults and
// environments it may address and which kinds of operation it may perform.
struct AgentScope {
    ScopeFilter projects = ScopeFilter::any();
    ScopeFilter environments = ScopeFilter::any();
    OperationSet operations;

    bool permits(Operation operation) const noexcept { return operations.contains(operation); }
    // Whether the coordinate may be addressed in the named project vault; no
    // project means the global vault, which only an unrestricted projects
    // filter reaches.
    bool addresses(const Coordinate& coordinate, std::optional<std::string_view> project) const;
};

}  // namespace tarnel::core
