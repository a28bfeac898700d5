#pragma once

// The owner's changes to the executor allowlist. Each needs the vault key
// (from the owner's passphrase), holds the root's allowlist lock from read to
// write, leaves the file sealed, and is audited as the human's.

#include <filesystem>
#include <string_view>
#include <vector>

#include "core/oversight/clock.hpp"
#include "core/keys/master_key.hpp"
#include "session/session_error.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::session {

// The entry for an existing program (stored in canonical form) with these
// arguments and variable names; "no such program" or a bad name otherwise.
SessionResult<wrapper::AllowEntry> allow_entry_for(const std::filesystem::path& program,
                                                   std::vector<std::string> arguments, bool more_arguments,
                                                   std::vector<std::string> variables);

// False when the same entry is already listed.
SessionResult<bool> allow_program(const std::filesystem::path& root, const core::MasterKey& key,
                                  wrapper::AllowEntry entry, const core::Clock& clock);
// Removes every entry of the program (named by any path to it); how many.
SessionResult<std::size_t> disallow_program(const std::filesystem::path& root, const core::MasterKey& key,
                                            const std::filesystem::path& program, const core::Clock& clock);
// What the file holds, for the owner to review before sealing it: each
// entry's program in canonical form, which is how it will be sealed.
SessionResult<wrapper::AllowlistContents> allowlist_to_seal(const std::filesystem::path& root);
// Seals the entries of `shown`, which the owner has seen, in whichever form
// the file held them; refused when the file changed since it was read.
SessionResult<void> seal_allowlist(const std::filesystem::path& root, const core::MasterKey& key,
                                   const wrapper::AllowlistContents& shown, const core::Clock& clock);

}  // namespace tarnel::session
