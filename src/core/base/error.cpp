#include "core/base/error.hpp"

namespace tarnel::core {

namespace {

std::string_view prefix(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::InvalidCoordinate: return "invalid coordinate URI: ";
        case ErrorKind::Crypto: return "crypto operation failed";
        case ErrorKind::Serialization: return "record serialization failed: ";
        case ErrorKind::Io: return "vault I/O failed: ";
        case ErrorKind::Keyring: return "keyring operation failed: ";
        case ErrorKind::MetadataIndex: return "metadata index failed: ";
        case ErrorKind::NotStorable: return "coordinate is not storable: ";
        case ErrorKind::Policy: return "policy error: ";
        case ErrorKind::Audit: return "audit error: ";
        case ErrorKind::EnvRefs: return "env-refs error: ";
        case ErrorKind::Keypair: return "keypair operation failed: ";
        case ErrorKind::Totp: return "totp operation failed: ";
        case ErrorKind::Provider: return "provider error: ";
        case ErrorKind::Package: return "package error: ";
        case ErrorKind::Format: return "format error: ";
    }
    return "";
}

}  // namespace

std::string CoreError::display() const {
    std::string text(prefix(kind_));
    // Crypto never carries a detail: a wrong key and a damaged file must read alike.
    if (kind_ != ErrorKind::Crypto) text += detail_;
    return text;
}

}  // namespace tarnel::core
