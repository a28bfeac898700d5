#include "core/keys/os_keyring.hpp"

#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <type_traits>

#if defined(__APPLE__)
#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>
#elif defined(__linux__)
#include <libsecret/secret.h>
#endif

namespace tarnel::core {

namespace {

[[maybe_unused]] constexpr std::string_view kWrongLength = "stored key has wrong length";

[[maybe_unused]] MasterKey key_from(const void* bytes) {
    return MasterKey(
        std::span<const std::uint8_t, MasterKey::kSize>(static_cast<const std::uint8_t*>(bytes), MasterKey::kSize));
}

}  // namespace

#if defined(__APPLE__)

// The key is a generic password of the user domain's default keychain,
// addressed by service and account; Apple deprecated these calls without
// removing them.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"

namespace {

struct CfRelease {
    void operator()(CFTypeRef ref) const noexcept {
        if (ref != nullptr) CFRelease(ref);
    }
};
template <class Ref>
using CfPtr = std::unique_ptr<std::remove_pointer_t<Ref>, CfRelease>;

std::string status_text(OSStatus status) {
    const CfPtr<CFStringRef> message(SecCopyErrorMessageString(status, nullptr));
    if (message) {
        const CFIndex capacity =
            CFStringGetMaximumSizeForEncoding(CFStringGetLength(message.get()), kCFStringEncodingUTF8) + 1;
        std::string text(static_cast<std::size_t>(capacity), '\0');
        if (CFStringGetCString(message.get(), text.data(), capacity, kCFStringEncodingUTF8)) {
            text.resize(std::strlen(text.c_str()));
            return text;
        }
    }
    return "OSStatus " + std::to_string(status);
}

std::unexpected<CoreError> platform_failure(OSStatus status) { return fail(ErrorKind::Keyring, status_text(status)); }

UInt32 length_of(const std::string& text) { return static_cast<UInt32>(text.size()); }

Result<CfPtr<SecKeychainRef>> default_keychain() {
    SecKeychainRef keychain = nullptr;
    const OSStatus status = SecKeychainCopyDomainDefault(kSecPreferencesDomainUser, &keychain);
    if (status != errSecSuccess) return platform_failure(status);
    return CfPtr<SecKeychainRef>(keychain);
}

// Password data handed out by the Security framework: wiped, then given back.
struct PasswordData {
    void* data = nullptr;
    UInt32 length = 0;
    PasswordData() = default;
    PasswordData(const PasswordData&) = delete;
    PasswordData& operator=(const PasswordData&) = delete;
    ~PasswordData() {
        if (data == nullptr) return;
        sodium_memzero(data, length);
        SecKeychainItemFreeContent(nullptr, data);
    }
};

}  // namespace

Result<MasterKey> OsKeyring::get_master_key() const {
    auto keychain = default_keychain();
    if (!keychain) return fail(std::move(keychain.error()));
    PasswordData password;
    const OSStatus status =
        SecKeychainFindGenericPassword(keychain->get(), length_of(service_), service_.data(), length_of(account_),
                                       account_.data(), &password.length, &password.data, nullptr);
    if (status != errSecSuccess) return platform_failure(status);
    if (password.length != MasterKey::kSize) return fail(ErrorKind::Keyring, std::string(kWrongLength));
    return key_from(password.data);
}

Result<void> OsKeyring::set_master_key(const MasterKey& key) {
    auto keychain = default_keychain();
    if (!keychain) return fail(std::move(keychain.error()));
    const auto bytes = key.expose_secret();
    SecKeychainItemRef found = nullptr;
    OSStatus status = SecKeychainFindGenericPassword(keychain->get(), length_of(service_), service_.data(),
                                                     length_of(account_), account_.data(), nullptr, nullptr, &found);
    const CfPtr<SecKeychainItemRef> item(found);
    if (status == errSecSuccess) {
        status = SecKeychainItemModifyAttributesAndData(item.get(), nullptr, MasterKey::kSize, bytes.data());
    } else if (status == errSecItemNotFound) {
        status =
            SecKeychainAddGenericPassword(keychain->get(), length_of(service_), service_.data(), length_of(account_),
                                          account_.data(), MasterKey::kSize, bytes.data(), nullptr);
    }
    if (status != errSecSuccess) return platform_failure(status);
    return {};
}

#pragma clang diagnostic pop

#elif defined(__linux__)

namespace {

// Only service and account identify the item, as in the Keychain, so an item
// written by another client (secret-tool, Seahorse) is found as well.
::SecretSchema make_schema() {
    ::SecretSchema schema{};  // the reserved members stay zero
    schema.name = "org.tarnel.MasterKey";
    schema.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
    schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return schema;
}
const ::SecretSchema kSchema = make_schema();

template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* pointer) const noexcept {
        Free(pointer);
    }
};
template <class T, auto Free>
using GOwned = std::unique_ptr<T, FreeWith<Free>>;

void free_item_list(GList* items) { g_list_free_full(items, g_object_unref); }

// The out-parameter of a GLib call; its message is the platform's text.
class ErrorSlot {
public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() {
        if (error_ != nullptr) g_error_free(error_);
    }

    GError** out() noexcept { return &error_; }
    explicit operator bool() const noexcept { return error_ != nullptr; }
    std::unexpected<CoreError> failure(std::string_view fallback) const {
        return fail(ErrorKind::Keyring, error_ != nullptr ? std::string(error_->message) : std::string(fallback));
    }

private:
    GError* error_ = nullptr;
};

// Consumes the value. The key is binary: read through secret_value_get, which
// gives the stored length. (The password accessors treat the data as text and
// may hand back a copy cut at the first zero byte while reporting the full
// length, so wiping that length overran the copy.)
Result<MasterKey> key_from_value(::SecretValue* value) {
    const GOwned<::SecretValue, secret_value_unref> owned(value);
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    if (bytes == nullptr || length != MasterKey::kSize) return fail(ErrorKind::Keyring, std::string(kWrongLength));
    Result<MasterKey> key = key_from(bytes);
    // The item holding the value is dropped right after this read.
    sodium_memzero(const_cast<gchar*>(bytes), length);
    return key;
}

Result<MasterKey> read_key(SecretItem* item) {
    ::SecretValue* value = secret_item_get_secret(item);
    if (value == nullptr) {
        ErrorSlot error;
        if (!secret_item_load_secret_sync(item, nullptr, error.out())) {
            return error.failure("the Secret Service did not return the stored key");
        }
        value = secret_item_get_secret(item);
        if (value == nullptr) return fail(ErrorKind::Keyring, "the Secret Service did not return the stored key");
    }
    return key_from_value(value);
}

// Called when no unlocked item matched. A locked collection hides its secrets
// without any error, so it must not be reported as a missing item.
std::unexpected<CoreError> no_unlocked_item(SecretService* service, bool saw_locked_item, const std::string& name,
                                            const std::string& account) {
    if (saw_locked_item) return fail(ErrorKind::Keyring, "the Secret Service collection holding the key is locked");
    // gnome-keyring lists the items of locked collections; other services may not.
    ErrorSlot error;
    const GOwned<SecretCollection, g_object_unref> collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
    if (error) return error.failure("");
    if (collection && secret_collection_get_locked(collection.get())) {
        return fail(ErrorKind::Keyring, "the default Secret Service collection is locked");
    }
    return fail(ErrorKind::Keyring,
                "no Secret Service item with service \"" + name + "\" and account \"" + account + "\"");
}

void wipe_key_copy(gpointer bytes) {
    sodium_memzero(bytes, MasterKey::kSize);
    g_free(bytes);
}

}  // namespace

Result<MasterKey> OsKeyring::get_master_key() const {
    ErrorSlot error;
    const GOwned<SecretService, g_object_unref> service(
        secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, error.out()));
    if (!service) return error.failure("the Secret Service is not available");
    const GOwned<GHashTable, g_hash_table_unref> attributes(secret_attributes_build(
        &kSchema, "service", service_.c_str(), "account", account_.c_str(), static_cast<const char*>(nullptr)));
    // No SECRET_SEARCH_UNLOCK: an unlock prompt would block a headless caller
    // indefinitely. Locked items are still listed, so they can be told apart.
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS);
    const GOwned<GList, free_item_list> items(
        secret_service_search_sync(service.get(), &kSchema, attributes.get(), flags, nullptr, error.out()));
    if (error) return error.failure("");
    bool saw_locked_item = false;
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (!secret_item_get_locked(item)) return read_key(item);
        saw_locked_item = true;
    }
    return no_unlocked_item(service.get(), saw_locked_item, service_, account_);
}

Result<void> OsKeyring::set_master_key(const MasterKey& key) {
    const auto bytes = key.expose_secret();
    // The value owns a copy that is wiped when libsecret drops it.
    auto* copy = static_cast<gchar*>(g_malloc(MasterKey::kSize));
    std::memcpy(copy, bytes.data(), MasterKey::kSize);
    const GOwned<::SecretValue, secret_value_unref> value(
        secret_value_new_full(copy, MasterKey::kSize, "application/octet-stream", wipe_key_copy));
    ErrorSlot error;
    if (!secret_password_store_binary_sync(&kSchema, SECRET_COLLECTION_DEFAULT, "tarnel master key", value.get(),
                                           nullptr, error.out(), "service", service_.c_str(), "account",
                                           account_.c_str(), static_cast<const char*>(nullptr))) {
        return error.failure("the Secret Service did not store the key");
    }
    return {};
}

#else

Result<MasterKey> OsKeyring::get_master_key() const {
    return fail(ErrorKind::Keyring, "no operating-system keyring is supported on this platform");
}

Result<void> OsKeyring::set_master_key(const MasterKey&) {
    return fail(ErrorKind::Keyring, "no operating-system keyring is supported on this platform");
}

#endif

}  // namespace tarnel::core
