// Measures the record store against the bare file operations it is built on
// and prints the ratios. Usage: tarnel_bench_store [parent-dir]  (default $TMPDIR or /tmp)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/keys/crypto.hpp"
#include "core/base/fd.hpp"
#include "core/store/fs.hpp"
#include "core/store/store.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarnel::core;
using namespace tarnel::bench;
using Clock = std::chrono::steady_clock;

constexpr int kRecords = 1000;
constexpr int kLoadRounds = 30;
constexpr int kWriteRounds = 200;

// The least a listing could cost: open and read each known file, nothing else.
std::size_t open_and_read(const fs::path& dir, const std::vector<std::string>& names) {
    const UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<char> buffer;
    std::size_t total = 0;
    for (const std::string& name : names) {
        const UniqueFd fd(::openat(dir_fd.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info{};
        if (!fd || ::fstat(fd.get(), &info) != 0) die("open " + name);
        buffer.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n != info.st_size) die("read " + name);
        total += static_cast<std::size_t>(n);
    }
    return total;
}

// The least a durable replacement could cost: write, fsync, rename, fsync the directory.
void bare_replace(const fs::path& dir, const fs::path& target, const std::string& bytes) {
    fs::path temp = target;
    temp += ".tmp";
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd || ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) die("bare write");
    if (full_sync(fd.get()) != 0) die("bare fsync");
    fd.reset();
    if (::rename(temp.c_str(), target.c_str()) != 0) die("bare rename");
    check(sync_dir(dir), "bare dir sync");
}

}  // namespace

int main(int argc, char** argv) {
    const char* tmpdir = std::getenv("TMPDIR");
    const fs::path parent = argc > 1 ? fs::path(argv[1]) : fs::path(tmpdir != nullptr ? tmpdir : "/tmp");
    std::string pattern = (parent / "tarnel-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp in " + parent.string());
    const fs::path root = pattern;
    const fs::path vault = root / "vault";

    std::array<std::uint8_t, MasterKey::kSize> key_bytes{};
    key_bytes.fill(0x5a);
    const MasterKey key(key_bytes);

    // (a) load_all against opening and reading the same files.
    for (int i = 0; i < kRecords; ++i) {
        const Coordinate at = check(Coordinate::from_str("secret:bench/app/key" + std::to_string(i)), "coordinate");
        const SealedRecord sealed =
            check(seal(literal(at, std::string(64, static_cast<char>('a' + i % 26))), key), "seal");
        check(write_record(vault, at, sealed), "write");
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(vault)) names.push_back(entry.path().filename().string());

    std::vector<double> load_times;
    std::vector<double> read_times;
    std::size_t loaded = 0;
    std::size_t bytes_read = 0;
    for (int round = 0; round < kLoadRounds; ++round) {
        load_times.push_back(micros([&] { loaded = check(load_all(vault, key), "load_all").records.size(); }));
        read_times.push_back(micros([&] { bytes_read = open_and_read(vault, names); }));
    }
    if (loaded != kRecords) die("load_all returned " + std::to_string(loaded) + " records");

    // (b) write_record against a bare durable replacement of the same bytes.
    const Coordinate at = check(Coordinate::from_str("secret:bench/app/rewrite"), "coordinate");
    const SealedRecord sealed = check(seal(literal(at, std::string(64, 'z')), key), "seal");
    const std::string framed = frame(sealed);
    const fs::path bare_dir = root / "bare";
    check(ensure_dir(bare_dir), "bare dir");
    const fs::path bare_target = bare_dir / "target.sec";
    // Both sides work in a directory of their own holding one record.
    const fs::path write_dir = root / "write";
    check(write_record(write_dir, at, sealed), "first write");
    bare_replace(bare_dir, bare_target, framed);

    std::vector<double> write_times;
    std::vector<double> bare_times;
    for (int round = 0; round < kWriteRounds; ++round) {
        write_times.push_back(micros([&] { check(write_record(write_dir, at, sealed), "write_record"); }));
        bare_times.push_back(micros([&] { bare_replace(bare_dir, bare_target, framed); }));
    }

    const double load = median(load_times);
    const double read = median(read_times);
    const double write = median(write_times);
    const double bare = median(bare_times);
    std::printf("machine: %s; files under %s\n", machine().c_str(), parent.c_str());
    std::printf(
        "(a) load_all of %d records (64-byte values, %zu bytes of files): %.0f us; open+read only: %.0f us; "
        "ratio %.2f (target <= 2)\n",
        kRecords, bytes_read, load, read, load / read);
    std::printf(
        "(b) write_record of %zu bytes: %.1f us; bare write+fsync+rename+dir fsync: %.1f us; "
        "ratio %.2f (target <= 1.3)\n",
        framed.size(), write, bare, write / bare);
    std::printf("    medians of %d and %d rounds\n", kLoadRounds, kWriteRounds);
    fs::remove_all(root);
    return 0;
}
