// Measures TarnelSession.list() through the Python binding against the least a
// listing could cost (walk the directory, open and read every file), in one
// process with the rounds interleaved, and prints the ratio. Also times the
// store's load_all alone and the envelope decode alone, so what list() spends
// beyond the floor can be split up.
// Usage: tarnel_bench_list [parent-dir [module-dir]]
// (defaults: $TMPDIR or /tmp, and the directory the module was built in)
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dirent.h>
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
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/keys/crypto.hpp"
#include "core/base/fd.hpp"
#include "core/keys/keyring.hpp"
#include "core/store/registry.hpp"
#include "core/codec/sealed_json.hpp"
#include "core/store/store.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarnel::core;
using namespace tarnel::bench;
using Clock = std::chrono::steady_clock;

constexpr int kRecords = 1000;
constexpr int kRounds = 40;
constexpr int kDecodeRounds = 40;
constexpr std::string_view kPassphrase = "bench passphrase";

PyObject* check_py(PyObject* object, const char* what) {
    if (object == nullptr) {
        PyErr_Print();
        die(what);
    }
    return object;
}

// A fixed salt: the figures do not depend on it.
std::vector<std::uint8_t> bench_salt() {
    std::vector<std::uint8_t> salt(16);
    for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(0xa5 ^ i);
    return salt;
}

// The key a passphrase session on the vault derives.
MasterKey bench_key() {
    const Argon2Keyring keyring =
        check(Argon2Keyring::create(SecretValue::from_text(kPassphrase), bench_salt()), "keyring");
    return check(keyring.get_master_key(), "derive key");
}

// The vault root: the salt file and the records in the global vault.
fs::path make_vault(const fs::path& parent, const MasterKey& key) {
    std::string pattern = (parent / "tarnel-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp in " + parent.string());
    const fs::path root = pattern;
    const std::vector<std::uint8_t> salt = bench_salt();
    std::ofstream(root / "kdf.salt", std::ios::binary)
        .write(reinterpret_cast<const char*>(salt.data()), static_cast<std::streamsize>(salt.size()));
    const Registry registry = check(Registry::open(root), "registry");
    for (int i = 0; i < kRecords; ++i) {
        const Coordinate at = check(Coordinate::from_str("secret:bench/app/key" + std::to_string(i)), "coordinate");
        const SealedRecord sealed =
            check(seal(literal(at, std::string(64, static_cast<char>('a' + i % 26))), key), "seal");
        check(write_record(registry.global_dir(), at, sealed), "write");
    }
    return root;
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

// The floor: list the directory, then open, fstat, read and close each record file.
std::size_t walk_and_read(const fs::path& dir, std::vector<char>& buffer) {
    std::unique_ptr<DIR, DirCloser> stream(::opendir(dir.c_str()));
    if (!stream) die("opendir " + dir.string());
    std::size_t total = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name = entry->d_name;
        if (!name.ends_with(".sec")) continue;
        const UniqueFd fd(::openat(::dirfd(stream.get()), entry->d_name, O_RDONLY | O_CLOEXEC));
        struct stat info{};
        if (!fd || ::fstat(fd.get(), &info) != 0) die("open " + std::string(name));
        buffer.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n != info.st_size) die("read " + std::string(name));
        total += static_cast<std::size_t>(n);
    }
    return total;
}

// Every record file's envelope, each followed by the padding the reader needs.
struct Envelopes {
    std::vector<std::vector<std::uint8_t>> padded;
    std::vector<std::span<const std::uint8_t>> json;
};

Envelopes read_envelopes(const fs::path& dir) {
    Envelopes out;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".sec") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bytes.erase(bytes.begin(), bytes.begin() + kRecordFrameHeaderBytes);
        const std::size_t size = bytes.size();
        bytes.resize(size + kSealedJsonPadding, ' ');
        out.padded.push_back(std::move(bytes));
    }
    for (const auto& bytes : out.padded) out.json.emplace_back(bytes.data(), bytes.size() - kSealedJsonPadding);
    return out;
}

// Microseconds per envelope, median over the rounds, of each decoder given,
// their rounds interleaved.
template <class... Decoders>
std::vector<double> per_envelope(const Envelopes& envelopes, Decoders... decoders) {
    std::vector<std::vector<double>> samples(sizeof...(Decoders));
    std::size_t sink = 0;
    for (int round = 0; round < kDecodeRounds; ++round) {
        std::size_t which = 0;
        (samples[which++].push_back(micros([&] {
                                        for (const auto json : envelopes.json) sink += decoders(json);
                                    }) /
                                    static_cast<double>(envelopes.json.size())),
         ...);
    }
    if (sink == 0) die("nothing decoded");
    std::vector<double> medians;
    for (auto& s : samples) medians.push_back(median(std::move(s)));
    return medians;
}

// Imports the module from module_dir and opens a metadata session on the vault.
PyObject* open_session(const fs::path& root, const fs::path& module_dir_path) {
    PyObject* sys_path = check_py(PySys_GetObject("path"), "sys.path");
    PyObject* module_dir = check_py(PyUnicode_FromString(module_dir_path.c_str()), "module dir");
    if (PyList_Insert(sys_path, 0, module_dir) != 0) die("sys.path.insert");
    Py_DECREF(module_dir);
    PyObject* module = check_py(PyImport_ImportModule("tarnel_ffi"), "import tarnel_ffi");
    PyObject* type = check_py(PyObject_GetAttrString(module, "TarnelSession"), "TarnelSession");
    PyObject* scope = check_py(Py_BuildValue("{s:[s]}", "operations", "metadata"), "scope");
    PyObject* args = check_py(PyTuple_Pack(1, scope), "args");
    PyObject* kwargs = check_py(Py_BuildValue("{s:s,s:s#}", "vault_dir", root.c_str(), "passphrase", kPassphrase.data(),
                                              static_cast<Py_ssize_t>(kPassphrase.size())),
                                "kwargs");
    PyObject* session = check_py(PyObject_Call(type, args, kwargs), "TarnelSession(...)");
    Py_DECREF(kwargs);
    Py_DECREF(args);
    Py_DECREF(scope);
    Py_DECREF(type);
    Py_DECREF(module);
    return session;
}

Py_ssize_t call_list(PyObject* session) {
    PyObject* listed = check_py(PyObject_CallMethod(session, "list", nullptr), "session.list()");
    const Py_ssize_t count = PyObject_Length(listed);
    Py_DECREF(listed);
    return count;
}

void print_machine(const fs::path& parent) {
    std::printf("machine: %s; files under %s\n", machine().c_str(), parent.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const char* tmpdir = std::getenv("TMPDIR");
    const fs::path parent = argc > 1 ? fs::path(argv[1]) : fs::path(tmpdir != nullptr ? tmpdir : "/tmp");
    const MasterKey key = bench_key();
    const fs::path root = make_vault(parent, key);
    const fs::path global = root / "global";

    Py_InitializeEx(0);
    PyObject* session = open_session(root, argc > 2 ? fs::path(argv[2]) : fs::path(TARNEL_MODULE_DIR));

    std::vector<char> buffer;
    if (call_list(session) != kRecords) die("list() did not return every record");
    std::vector<double> list_times;
    std::vector<double> floor_times;
    std::vector<double> load_times;
    std::size_t bytes_read = 0;
    for (int round = 0; round < kRounds; ++round) {
        list_times.push_back(micros([&] {
            if (call_list(session) != kRecords) die("list() count");
        }));
        floor_times.push_back(micros([&] { bytes_read = walk_and_read(global, buffer); }));
        load_times.push_back(micros([&] {
            if (check(load_all(global, key), "load_all").records.size() != kRecords) die("load_all count");
        }));
    }

    const Envelopes envelopes = read_envelopes(global);
    const std::vector<double> decode = per_envelope(
        envelopes,
        [](std::span<const std::uint8_t> json) {
            return check(sealed_from_padded_json_strict(json), "strict").ciphertext.size();
        },
        [](std::span<const std::uint8_t> json) {
            const std::optional<SealedRecord> sealed = fast_sealed_from_padded_json(json);
            if (!sealed) die("the fast path gave up on our own writer's output");
            return sealed->ciphertext.size();
        },
        [](std::span<const std::uint8_t> json) {
            return check(sealed_from_padded_json(json), "decode").ciphertext.size();
        });

    print_machine(parent);
    const double list = median(list_times);
    const double floor = median(floor_times);
    const double load = median(load_times);
    std::printf("list() of %d records (64-byte values, %zu bytes of files): %.0f us = %.2f us/record\n", kRecords,
                bytes_read, list, list / kRecords);
    std::printf("floor (opendir/readdir + open/fstat/read/close each): %.0f us = %.2f us/record\n", floor,
                floor / kRecords);
    std::printf("ratio list()/floor: %.2f (target <= 2.5)\n", list / floor);
    std::printf("core load_all alone: %.0f us = %.2f us/record (list() beyond it: %.2f us/record)\n", load,
                load / kRecords, (list - load) / kRecords);
    std::printf(
        "envelope decode (%zu-byte envelope), us/envelope: strict reader %.2f, fast path %.2f "
        "(%.2fx), sealed_from_padded_json %.2f\n",
        envelopes.json.front().size(), decode[0], decode[1], decode[1] / decode[0], decode[2]);
    std::printf("    medians of %d rounds (decode: %d rounds over all %zu envelopes)\n", kRounds, kDecodeRounds,
                envelopes.json.size());

    Py_DECREF(session);
    Py_FinalizeEx();
    fs::remove_all(root);
    return 0;
}
