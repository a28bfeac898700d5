#pragma once

// The owner's look over a whole vault root: every file another process may
// have damaged, planted, moved or left behind, found without changing
// anything. Records are opened with the key; nothing of a value is ever in a
// finding.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/keys/master_key.hpp"
#include "core/oversight/clock.hpp"

namespace tarnel::session {

struct CheckFinding {
    enum class Problem {
        Damaged,          // does not read, parse or open with the key
        WrongKind,        // not the kind of file its place holds, or a name nothing writes
        Planted,          // a symbolic link or FIFO where the vault reads
        WrongCoordinate,  // a record whose coordinate does not name its file
        LeftOver,         // a temporary, an orphaned lock, a stale request
    };

    // Relative to the root, '/'-separated; in quotes and escaped when the
    // name is not UTF-8.
    std::string path;
    Problem problem;
    std::string detail;
};

// "damaged", "wrong kind", "planted", "wrong coordinate", "left over".
std::string_view problem_word(CheckFinding::Problem problem) noexcept;

struct CheckReport {
    std::size_t records = 0;  // record files looked at (backups not counted)
    std::size_t vaults = 0;   // global/ and each projects/<name>/
    std::vector<CheckFinding> findings;
};

// What a passphrase change that did not finish left at the root
// ("passwd.stage", "passwd.commit"). Deriving the key settles such a change
// (completes or discards it), so this is looked at first, without the key,
// and a check that finds anything goes no further.
[[nodiscard]] std::vector<CheckFinding> unfinished_passphrase_change(const std::filesystem::path& root);

// Reads every file the vault keeps under the root, never following a link
// and never blocking on a FIFO: each record and backup opened with the key,
// the allowlist's seal and "kdf.check" verified, request files parsed, and
// every name matched against the files some part of the vault writes. A
// request whose expiry has passed by `clock` is left over.
[[nodiscard]] CheckReport check_vault(const std::filesystem::path& root, const core::MasterKey& key,
                                      const core::Clock& clock);

}  // namespace tarnel::session
