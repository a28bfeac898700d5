// The metadata queries: list, status and fingerprint. None of them writes an
// audit event, and none of them ever reads a value out to the caller.

#include <utility>
#include <variant>

#include "core/store/store.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"

namespace tarnel::session {

namespace {

using Kind = core::PolicyDecision::Kind;

// A record whose stored segments do not form a coordinate cannot be
// addressed by anyone, so it is not shown either.
std::optional<core::Coordinate> stored_coordinate(const core::RecordMetadata& meta) {
    auto at = core::Coordinate::from_str("secret:" + meta.environment + "/" + meta.component + "/" + meta.key);
    if (!at) return std::nullopt;
    return std::move(*at);
}

}  // namespace

SessionResult<std::vector<RecordView>> Session::list_visible() const {
    std::vector<RecordView> views;
    // Appends the views of one vault's visible records, in load order.
    auto collect = [&](const std::filesystem::path& dir, OptText project) -> SessionResult<void> {
        auto loaded = core::load_all(dir, key_);
        if (!loaded) return std::unexpected(std::move(loaded.error()));
        views.reserve(views.size() + loaded->records.size());
        for (const core::LoadedRecord& entry : loaded->records) {
            const auto at = stored_coordinate(entry.record.meta);
            if (!at || decide(core::Operation::Metadata, *at, project).kind != Kind::Allow) continue;
            views.push_back(view_of(entry.record, project));
        }
        return {};
    };

    if (auto done = collect(registry_.global_dir(), std::nullopt); !done) return fail(std::move(done.error()));
    auto projects = registry_.list_projects();
    if (!projects) return std::unexpected(std::move(projects.error()));
    for (const std::string& project : *projects) {
        if (auto done = collect(registry_.project_dir(project), project); !done) return fail(std::move(done.error()));
    }
    return views;
}

SessionResult<RecordView> Session::status_of(std::string_view coordinate, OptText project) const {
    auto at = parse_concrete(coordinate);
    if (!at) return fail(std::move(at.error()));
    if (decide(core::Operation::Metadata, *at, project).kind != Kind::Allow) return fail(SessionError::not_found());

    auto resolved = registry_.resolve_with_key(*at, project, key_);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    if (!*resolved) return fail(SessionError::not_found());

    const core::ResolvedRecord& found = **resolved;
    OptText holder;
    if (const auto* in_project = std::get_if<core::ProjectVault>(&found.location)) holder = in_project->name;
    return view_of(found.record, holder);
}

SessionResult<std::string> Session::fingerprint_of(std::string_view coordinate, OptText project) const {
    auto view = status_of(coordinate, project);
    if (!view) return fail(std::move(view.error()));
    return std::move(view->fingerprint);
}

}  // namespace tarnel::session
