#include "core/store/store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <variant>

#include "core/base/digest.hpp"
#include "core/store/dir_listing.hpp"
#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"
#include "core/codec/sealed_json.hpp"
#include "core/store/temp_file.hpp"
#include "core/codec/utf8.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMagic = "TARN";
constexpr std::string_view kRecordExtension = ".sec";

std::unexpected<CoreError> io_error(std::string_view what, int err) {
    return fail(ErrorKind::Io, std::string(what) + ": " + os_error_text(err));
}

// Keeps one generation of backup without ever taking the record path away:
// a second link to the current file is renamed over .bak, so readers keep
// seeing the complete current version until the new one replaces it.
Result<void> keep_backup(const fs::path& record) {
    const fs::path link_name = unique_temp_path(record);
    if (::link(record.c_str(), link_name.c_str()) != 0) {
        if (errno == ENOENT) return {};  // first version: nothing to back up
        return io_error("rotate .bak", errno);
    }
    fs::path backup = record;
    backup += ".bak";
    const int rc = ::rename(link_name.c_str(), backup.c_str());
    const int err = errno;
    // When .bak already is this very file (a concurrent writer linked it a moment
    // ago) rename succeeds without removing our name, so always drop it.
    ::unlink(link_name.c_str());
    if (rc != 0) return io_error("rotate .bak", err);
    return {};
}

// "<stem>.sec" with a non-empty stem, as a path-extension check would see it.
bool is_record_name(std::string_view name) noexcept {
    return name.size() > kRecordExtension.size() && name.ends_with(kRecordExtension);
}

CoreError misplaced_error(std::string_view file_of, std::string_view held) {
    return CoreError(ErrorKind::Format, "the record file of " + std::string(file_of) + " holds " + std::string(held) +
                                            ": it was copied or moved there, and is not served as either");
}

bool can_stat(const fs::path& path) noexcept {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0;
}

// The sealed JSON inside a record file.
Result<std::span<const std::uint8_t>> frame_json(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kRecordFrameHeaderBytes || std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
        return fail(ErrorKind::Serialization, "not a tarnel record frame");
    }
    std::uint32_t version = 0;
    for (int i = 0; i < 4; ++i) version |= static_cast<std::uint32_t>(bytes[4 + i]) << (8 * i);
    if (version != kRecordFrameVersion) {
        return fail(ErrorKind::Serialization, "unsupported record frame version " + std::to_string(version));
    }
    return bytes.subspan(kRecordFrameHeaderBytes);
}

// Opens the file content at the start of a buffer that read_whole filled with padding.
Result<SecretRecord> open_padded_frame(const std::vector<std::uint8_t>& buffer, std::size_t size,
                                       const MasterKey& key) {
    Result<std::span<const std::uint8_t>> json = frame_json(std::span(buffer).first(size));
    if (!json) return fail(std::move(json.error()));
    Result<SealedRecord> sealed = sealed_from_padded_json(*json);
    if (!sealed) return fail(std::move(sealed.error()));
    return open_sealed(*sealed, key);
}

// A record, or the display text of why the file could not be opened.
using LoadOutcome = std::variant<std::string, SecretRecord>;

LoadOutcome load_one(int dir_fd, const std::string& name, const MasterKey& key, std::vector<std::uint8_t>& buffer) {
    std::size_t size = 0;
    if (auto failed = read_regular_file(dir_fd, name.c_str(), kMaxRecordFileBytes, kSealedJsonPadding, buffer, size)) {
        return CoreError(ErrorKind::Io, "read: " + failed->text(kMaxRecordFileBytes)).display();
    }
    Result<SecretRecord> record = open_padded_frame(buffer, size, key);
    if (!record) return record.error().display();
    return std::move(*record);
}

}  // namespace

Result<fs::path> record_path(const fs::path& dir, const Coordinate& coordinate) {
    Result<std::string> id = coordinate.storage_id();
    if (!id) return fail(std::move(id.error()));
    return dir / (*id + std::string(kRecordExtension));
}

std::string frame(const SealedRecord& sealed) {
    std::string bytes(kMagic);
    const std::uint32_t version = kRecordFrameVersion;
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((version >> shift) & 0xff));
    append_sealed_json(sealed, bytes);
    return bytes;
}

Result<SealedRecord> unframe(std::span<const std::uint8_t> bytes) {
    Result<std::span<const std::uint8_t>> json = frame_json(bytes);
    if (!json) return fail(std::move(json.error()));
    return sealed_from_json(*json);
}

Result<void> write_record(const fs::path& dir, const Coordinate& coordinate, const SealedRecord& sealed) {
    if (Result<void> made = ensure_dir(dir); !made) return made;
    Result<fs::path> path = record_path(dir, coordinate);
    if (!path) return fail(std::move(path.error()));
    const std::string bytes = frame(sealed);

    Result<TempFile> temp = create_temp(*path);
    if (!temp) return fail(ErrorKind::Io, "create tmp: " + temp.error().detail());
    TempFile& file = *temp;
    if (const auto failed = fill_private(file, bytes)) {
        using Step = FillFailure::Step;
        const char* what = failed->step == Step::Write   ? "write tmp"
                           : failed->step == Step::Sync  ? "fsync tmp"
                           : failed->step == Step::Chmod ? "chmod 600"
                                                         : "close tmp";
        return io_error(what, failed->err);
    }

    if (Result<void> kept = keep_backup(*path); !kept) return kept;
    if (::rename(file.name.path().c_str(), path->c_str()) != 0) return io_error("rename into place", errno);
    file.name.release();
    return sync_dir(dir);
}

Result<std::optional<SecretRecord>> read_record(const fs::path& dir, const Coordinate& coordinate,
                                                const MasterKey& key) {
    Result<fs::path> path = record_path(dir, coordinate);
    if (!path) return fail(std::move(path.error()));
    std::vector<std::uint8_t> buffer;
    std::size_t size = 0;
    if (auto failed =
            read_regular_file(AT_FDCWD, path->c_str(), kMaxRecordFileBytes, kSealedJsonPadding, buffer, size)) {
        using Kind = FileReadError::Kind;
        if (failed->kind == Kind::Absent) return std::optional<SecretRecord>();
        if (failed->kind == Kind::Os) return io_error("read record", failed->err);
        return fail(ErrorKind::Io, "read record: " + quoted_path(*path) + ": " + failed->text(kMaxRecordFileBytes));
    }
    Result<SecretRecord> record = open_padded_frame(buffer, size, key);
    if (!record) return fail(std::move(record.error()));
    // A file copied over another record's file decrypts under the same key;
    // the coordinate sealed inside is what says whose it is.
    Result<std::string> asked = coordinate.canonical_path();
    if (!asked) return fail(std::move(asked.error()));
    if (const std::string held = record->canonical_path(); held != *asked) return fail(misplaced_error(*asked, held));
    return std::optional<SecretRecord>(std::move(*record));
}

Result<void> delete_record(const fs::path& dir, const Coordinate& coordinate) {
    Result<fs::path> path = record_path(dir, coordinate);
    if (!path) return fail(std::move(path.error()));
    if (::unlink(path->c_str()) != 0) {
        const int err = errno;
        if (!can_stat(*path)) return {};
        return io_error("remove record", err);
    }
    return sync_dir(dir);
}

Result<LoadedVault> load_all(const fs::path& dir, const MasterKey& key) {
    LoadedVault vault;
    Result<std::optional<DirListing>> listed =
        list_dir(dir, [](int, const dirent& entry) -> Result<bool> { return is_record_name(entry.d_name); });
    if (!listed) return fail(std::move(listed.error()));
    if (!*listed) return vault;  // no directory, no records
    const DirListing& listing = **listed;

    std::vector<std::uint8_t> buffer;  // ciphertext only, reused across files
    vault.records.reserve(listing.names.size());
    for (const std::string& name : listing.names) {
        std::string stem = name.substr(0, name.size() - kRecordExtension.size());
        if (!is_valid_utf8(stem)) stem.clear();
        LoadOutcome outcome = load_one(listing.dir.get(), name, key, buffer);
        if (auto* record = std::get_if<SecretRecord>(&outcome)) {
            if (const std::string held = record->canonical_path(); blake3_hex(held) != stem) {
                vault.failures.push_back({std::move(stem), misplaced_error(stem, held).display()});
                continue;
            }
            vault.records.push_back({std::move(stem), std::move(*record)});
        } else {
            vault.failures.push_back({std::move(stem), std::move(std::get<std::string>(outcome))});
        }
    }
    return vault;
}

}  // namespace tarnel::core
