// The metadata queries: list, status and fingerprint. None of them writes an
// audit event, and none of them ever reads a value out to the caller.

#include <utility>
#include <variant>

#include "core/policy.hpp"
#include "core/store.hpp"
#include "ffi/session.hpp"

namespace tarnel::ffi {

namespace {

// For metadata the decision depends on the scope alone, so the record's own
// sensitivity and flags are not consulted.
bool metadata_allowed(const core::AgentScope& scope, const core::Coordinate& coordinate,
                      OptText project) {
    const core::AccessRequest request{
        .project = project,
        .coordinate = coordinate,
        .sensitivity = core::Sensitivity::Low,
        .operation = core::Operation::Metadata,
        .surface = core::Surface::Mcp,
        .revealable = false,
        .attended = false,
    };
    return core::decide(request, scope).kind == core::PolicyDecision::Kind::Allow;
}

// Appends the views of one vault's visible records, in load order.
core::Result<void> collect(const std::filesystem::path& dir, const core::MasterKey& key,
                           const core::AgentScope& scope, OptText project,
                           std::vector<RecordView>& views) {
    auto loaded = core::load_all(dir, key);
    if (!loaded) return core::fail(std::move(loaded.error()));
    for (const core::LoadedRecord& entry : loaded->records) {
        const core::RecordMetadata& meta = entry.record.meta;
        // A record whose stored segments do not form a coordinate cannot be
        // addressed by anyone, so it is not shown either.
        auto at = core::Coordinate::from_str("secret:" + meta.environment + "/" + meta.component + "/" +
                                             meta.key);
        if (!at) continue;
        if (!metadata_allowed(scope, *at, project)) continue;
        views.push_back(view_of(entry.record, project));
    }
    return {};
}

}  // namespace

FfiResult<std::vector<RecordView>> Session::list_visible() const {
    std::vector<RecordView> views;
    if (auto done = collect(registry_.global_dir(), key_, scope_, std::nullopt, views); !done) {
        return std::unexpected(FfiError(std::move(done.error())));
    }
    auto projects = registry_.list_projects();
    if (!projects) return std::unexpected(FfiError(std::move(projects.error())));
    for (const std::string& project : *projects) {
        if (auto done = collect(registry_.project_dir(project), key_, scope_, project, views); !done) {
            return std::unexpected(FfiError(std::move(done.error())));
        }
    }
    return views;
}

FfiResult<RecordView> Session::status_of(std::string_view coordinate, OptText project) const {
    auto at = parse_concrete(coordinate);
    if (!at) return std::unexpected(std::move(at.error()));
    if (!metadata_allowed(scope_, *at, project)) return std::unexpected(FfiError::not_found());

    auto resolved = registry_.resolve_with_key(*at, project, key_);
    if (!resolved) return std::unexpected(FfiError(std::move(resolved.error())));
    if (!*resolved) return std::unexpected(FfiError::not_found());

    const core::ResolvedRecord& found = **resolved;
    OptText holder;
    if (const auto* in_project = std::get_if<core::ProjectVault>(&found.location)) holder = in_project->name;
    return view_of(found.record, holder);
}

FfiResult<std::string> Session::fingerprint_of(std::string_view coordinate, OptText project) const {
    auto view = status_of(coordinate, project);
    if (!view) return std::unexpected(std::move(view.error()));
    return std::move(view->fingerprint);
}

}  // namespace tarnel::ffi
