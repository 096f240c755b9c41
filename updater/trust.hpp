// Signed feeds: Ed25519 signatures (OpenSSL) carried in the feed file itself, and the
// highest serial this user has accepted, so an old feed cannot be served again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bwv::upd {

// A feed document split at its signature line, the last line of the file:
// "<!-- bwv-signature ed25519 BASE64 -->". The signature covers body, every byte before
// that line; nothing may follow it but one newline.
struct SplitFeed {
    std::string_view body;   // the whole document when it carries no signature line
    std::string signature;   // the raw signature; empty when there is none
    bool malformed = false;  // a signature line that is not exactly the last, well-formed line
};
SplitFeed split_feed(std::string_view document);

// body followed by its signature line; nullopt when private_pem is not an Ed25519 key.
std::optional<std::string> sign_feed(std::string_view body, const std::string &private_pem);

// Whether signature is an Ed25519 signature of body by one of the PEM public keys; keys that
// do not parse match nothing.
bool signature_matches(std::string_view body, const std::string &signature,
                       const std::vector<std::string> &public_pems);

enum class TrustError { None, Unsigned, BadSignature, Invalid, Expired };

// A feed accepted under pinned keys: signed by one of them, carrying Serial and Expires, and
// not expired at now (Unix seconds). On success body is the part to parse and serial its
// Serial; the caller still compares the serial with the highest one accepted.
TrustError verify_feed(std::string_view document, const std::vector<std::string> &public_pems, int64_t now,
                       std::string_view &body, uint64_t &serial);

struct KeyPair {
    std::string private_pem, public_pem;
};
std::optional<KeyPair> generate_key();
// The public key (PEM) of a PEM private Ed25519 key; nullopt for anything else.
std::optional<std::string> public_key_of(const std::string &private_pem);
// Whether pem is a PEM Ed25519 public key.
bool is_public_key(const std::string &pem);

// The folder of this library's own state: $XDG_STATE_HOME (when absolute), else
// $HOME/.local/state, else the password database's home, then "/bwvupdate". Read on the
// caller's thread.
std::string state_folder();

// The highest serial accepted so far under folder (0 when none was); nullopt when the folder
// or its file cannot be trusted: a link, another user's, or open to others.
std::optional<uint64_t> highest_serial(const std::string &folder);

// Raises the stored serial to serial (never lowers it): the folder is made 0700, the file
// written 0600 through a temporary file renamed over it, under a lock so two installers
// cannot lower each other's value. False when it cannot be stored.
bool remember_serial(const std::string &folder, uint64_t serial);

}  // namespace bwv::upd
