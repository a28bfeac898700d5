#pragma once

#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/keys/keyring.hpp"
#include "core/keys/master_key.hpp"

namespace tarnel::core {

// The key as a generic password of the platform's secret store: the macOS
// Keychain, or the Secret Service (gnome-keyring, KWallet, ...) on Linux. The
// stored value is the 32 raw key bytes. Failures carry the platform's text.
class OsKeyring final : public Keyring {
public:
    static constexpr std::string_view kService = "tarnel";
    static constexpr std::string_view kAccount = "master-key";

    OsKeyring() = default;
    static OsKeyring create() { return OsKeyring(); }

    const std::string& service() const noexcept { return service_; }
    const std::string& account() const noexcept { return account_; }

    Result<MasterKey> get_master_key() const override;
    // Replaces the stored key, or adds it (on Linux into the default collection).
    Result<void> set_master_key(const MasterKey& key) override;

private:
    std::string service_{kService};
    std::string account_{kAccount};
};

}  // namespace tarnel::core
