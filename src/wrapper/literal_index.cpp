#include "wrapper/literal_index.hpp"

#include <hs.h>
#include <sodium.h>

#include <cstdlib>
#include <exception>
#include <utility>

#if defined(__APPLE__)
#include <malloc/malloc.h>
#else
#include <malloc.h>
#endif

namespace tarnel::wrapper {
namespace {

std::size_t block_size(void* block) noexcept {
#if defined(__APPLE__)
    return ::malloc_size(block);
#else
    return ::malloc_usable_size(block);
#endif
}

void* HS_CDECL allocate(std::size_t size) { return std::malloc(size); }

void HS_CDECL wipe_and_free(void* block) {
    if (block == nullptr) return;
    sodium_memzero(block, block_size(block));
    std::free(block);
}

// Process-wide in Hyperscan, so installed once, before the first database.
// The allocator cannot reach the compiler's own temporaries.
bool wiping_allocator_installed() {
    static const bool installed = hs_set_allocator(allocate, wipe_and_free) == HS_SUCCESS;
    return installed;
}

struct Collector {
    std::uint32_t first_id;
    std::vector<LiteralMatch>& found;
    std::size_t limit;
    bool overflowed = false;
    std::exception_ptr failure;
};

int HS_CDECL on_match(unsigned id, unsigned long long /*from*/, unsigned long long to, unsigned /*flags*/,
                      void* context) {
    auto& collector = *static_cast<Collector*>(context);
    if (id < collector.first_id) return 0;
    if (collector.found.size() >= collector.limit) {
        collector.overflowed = true;
        return 1;
    }
    // An exception must not unwind through Hyperscan's C frames.
    try {
        collector.found.push_back({static_cast<std::uint32_t>(id), static_cast<std::uint32_t>(to)});
    } catch (...) {
        collector.failure = std::current_exception();
        return 1;
    }
    return 0;
}

}  // namespace

void LiteralIndex::FreeDatabase::operator()(hs_database* db) const noexcept { hs_free_database(db); }

void LiteralIndex::FreeScratch::operator()(hs_scratch* scratch) const noexcept { hs_free_scratch(scratch); }

std::optional<LiteralIndex> LiteralIndex::build(std::span<const Literal> literals) {
    if (literals.empty() || literals.size() > std::numeric_limits<unsigned>::max()) return std::nullopt;
    if (hs_valid_platform() != HS_SUCCESS || !wiping_allocator_installed()) return std::nullopt;

    std::vector<const char*> expressions;
    std::vector<std::size_t> lengths;
    std::vector<unsigned> ids;
    expressions.reserve(literals.size());
    lengths.reserve(literals.size());
    ids.reserve(literals.size());
    for (const Literal& literal : literals) {
        if (literal.bytes.empty() || literal.bytes.size() > kMaxLiteralSize) return std::nullopt;
        expressions.push_back(reinterpret_cast<const char*>(literal.bytes.data()));
        lengths.push_back(literal.bytes.size());
        ids.push_back(literal.id);
    }
    // Flags 0: case-sensitive, and every match reported, overlapping ones too.
    const std::vector<unsigned> flags(literals.size(), 0);

    hs_database_t* raw_db = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(),
                             static_cast<unsigned>(literals.size()), HS_MODE_BLOCK, nullptr, &raw_db,
                             &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        return std::nullopt;
    }
    std::unique_ptr<hs_database, FreeDatabase> db(raw_db);
    hs_scratch_t* raw_scratch = nullptr;
    if (hs_alloc_scratch(db.get(), &raw_scratch) != HS_SUCCESS) return std::nullopt;
    return LiteralIndex(std::move(db), std::unique_ptr<hs_scratch, FreeScratch>(raw_scratch));
}

bool LiteralIndex::scan(std::span<const std::uint8_t> text, std::uint32_t first_id, std::size_t limit,
                        std::vector<LiteralMatch>& found) {
    if (text.size() > kMaxTextSize) return false;
    // Hyperscan refuses a null buffer, which is what an empty span may hold.
    if (text.empty()) return true;
    Collector collector{first_id, found, limit, false, nullptr};
    const hs_error_t status = hs_scan(db_.get(), reinterpret_cast<const char*>(text.data()),
                                      static_cast<unsigned>(text.size()), 0, scratch_.get(), on_match, &collector);
    if (collector.failure) std::rethrow_exception(collector.failure);
    return status == HS_SUCCESS && !collector.overflowed;
}

}  // namespace tarnel::wrapper
