#include "core/model/scope.hpp"

#include <array>
#include <utility>

namespace tarnel::core {

namespace {

constexpr std::array<std::string_view, 4> kOperationWords{"metadata", "inject", "reveal", "write"};

}  // namespace

const std::set<std::string, std::less<>>& ScopeFilter::names() const {
    static const std::set<std::string, std::less<>> none;
    return names_ ? *names_ : none;
}

std::string_view operation_word(Operation operation) noexcept { return kOperationWords[std::to_underlying(operation)]; }

std::optional<Operation> operation_from_word(std::string_view word) noexcept {
    for (std::size_t i = 0; i < kOperationWords.size(); ++i) {
        if (kOperationWords[i] == word) return static_cast<Operation>(i);
    }
    return std::nullopt;
}

bool AgentScope::addresses(const Coordinate& coordinate, std::optional<std::string_view> project) const {
    const auto& environment = coordinate.environment();
    if (environment.is_placeholder()) return false;
    if (!environments.admits(environment.name())) return false;
    if (!project) return projects.is_any();
    return projects.admits(*project);
}

}  // namespace tarnel::core
