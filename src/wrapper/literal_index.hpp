#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct hs_database;
struct hs_scratch;

namespace tarnel::wrapper {

// One occurrence of a pattern: the pattern's id and the offset just past its
// last byte.
struct LiteralMatch {
    std::uint32_t id;
    std::uint32_t end;
};

struct Literal {
    std::uint32_t id;
    std::span<const std::uint8_t> bytes;
};

// A Hyperscan database of byte literals with its scratch space. Both hold
// what they were built from or have scanned, so every block Hyperscan frees
// is wiped first.
class LiteralIndex {
public:
    // Hyperscan refuses longer literals.
    static constexpr std::size_t kMaxLiteralSize = 16000;
    // A block scan takes a 32-bit length.
    static constexpr std::size_t kMaxTextSize = std::numeric_limits<std::uint32_t>::max();

    // Absent when this CPU cannot run Hyperscan or the literals do not compile.
    static std::optional<LiteralIndex> build(std::span<const Literal> literals);

    // Appends every occurrence of the literals whose id is at least
    // `first_id`, overlapping ones included. False once more than `limit`
    // would be held in `found`; what is there then is incomplete.
    bool scan(std::span<const std::uint8_t> text, std::uint32_t first_id, std::size_t limit,
              std::vector<LiteralMatch>& found);

private:
    struct FreeDatabase {
        void operator()(hs_database* db) const noexcept;
    };
    struct FreeScratch {
        void operator()(hs_scratch* scratch) const noexcept;
    };

    LiteralIndex(std::unique_ptr<hs_database, FreeDatabase> db, std::unique_ptr<hs_scratch, FreeScratch> scratch)
        : db_(std::move(db)), scratch_(std::move(scratch)) {}

    std::unique_ptr<hs_database, FreeDatabase> db_;
    std::unique_ptr<hs_scratch, FreeScratch> scratch_;
};

}  // namespace tarnel::wrapper
