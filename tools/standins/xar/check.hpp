// The signature check of a flat package as pkgutil --check-signature performs it, and the
// report it prints.
#pragma once

#include <string>
#include <vector>

#include "tools/standins/xar/xar.hpp"

namespace bwv::xar {

enum class Status {
    trusted,        // checksums hold, signature verifies, chain ends at a trust anchor
    no_signature,   // intact but unsigned
    untrusted,      // signature verifies, chain does not reach a trust anchor
    expired,        // as trusted, but a certificate of the chain has expired
    bad_signature,  // the signature does not verify with the signer's certificate
    bad_checksum,   // the TOC or a file does not match its checksum
    invalid,        // not a flat package, or one that does not hold together
    unreadable,     // missing or unreadable
};

struct CertInfo {
    std::string common_name;  // as printable() shows it
    std::string expires;      // "YYYY-MM-DD HH:MM:SS +0000"
    std::string sha256;       // upper-case hex bytes separated by spaces
};

struct CheckResult {
    Status status = Status::invalid;
    std::vector<CertInfo> chain;  // signer first; empty when nothing could be read
    std::string detail;           // why, for messages on standard error
};

// Loads every *.pem, *.crt and *.cer file of trust_dir as a trust anchor.
CheckResult check_package(const Source &src, const std::string &trust_dir);
CheckResult check_package_file(const std::string &path, const std::string &trust_dir);

const char *status_text(Status s);

// Text from a certificate or a path as the report shows it: control characters (C0, DEL,
// C1) and the backslash written "\XX" in hexadecimal, as openssl shows them, so that no
// name can make a line or an escape of its own.
std::string printable(const std::string &text);

// pkgutil's report: `Package "NAME":`, the Status line, and the certificate chain.
std::string format_report(const std::string &package_name, const CheckResult &r);

}  // namespace bwv::xar
