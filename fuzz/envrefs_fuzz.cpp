// libFuzzer target for .env.refs text: a successful parse holds only
// identifier names, each once; no literal or fallback carries "${"; every
// secret source keeps its "secret:" prefix and every env source names an
// identifier; a failure is the env-refs kind and names its line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "core/run/envrefs.hpp"
#include "core/base/overloaded.hpp"

namespace {

using tarnel::core::EnvRefs;
using tarnel::core::ErrorKind;
using tarnel::core::Overloaded;
using tarnel::core::Result;
namespace source = tarnel::core::source;

void check(bool holds) {
    if (!holds) std::abort();
}

bool free_of_interpolation(std::string_view text) { return text.find("${") == std::string_view::npos; }

bool fallback_ok(const std::optional<std::string>& fallback) { return !fallback || free_of_interpolation(*fallback); }

void check_source(const tarnel::core::Source& source) {
    std::visit(Overloaded{
                   [](const source::Literal& literal) { check(free_of_interpolation(literal.value)); },
                   [](const source::Env& env) {
                       check(tarnel::core::is_identifier(env.var));
                       check(fallback_ok(env.fallback));
                   },
                   [](const source::Secret& secret) {
                       check(std::string_view(secret.uri).starts_with("secret:"));
                       check(fallback_ok(secret.fallback));
                   },
               },
               source);
}

// "line N: ..." with N between 1 and the number of lines the text can have.
void check_error(const tarnel::core::CoreError& error, std::string_view text) {
    check(error.kind() == ErrorKind::EnvRefs);
    const std::string& detail = error.detail();
    const std::size_t colon = detail.find(": ");
    check(detail.starts_with("line ") && colon != std::string::npos && colon > 5 && colon < 25 && detail[5] != '0');
    check(detail.find_first_not_of("0123456789", 5) == colon);
    const std::uint64_t line = std::stoull(detail.substr(5, colon - 5));
    check(line >= 1 && line <= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Result<EnvRefs> refs = EnvRefs::parse(text);
    if (!refs) {
        check_error(refs.error(), text);
        return 0;
    }
    std::set<std::string_view> names;
    for (const auto& [name, source] : refs->vars) {
        check(tarnel::core::is_identifier(name));
        check(names.insert(name).second);
        check_source(source);
    }
    check(!refs->project || !refs->project->empty());
    return 0;
}
