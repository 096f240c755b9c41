// Where the tool stand-ins and demo content are, and certificates made with the openssl command.
#pragma once

#include "support/bwvtest.hpp"

#include <string>
#include <utility>
#include <vector>

namespace bwv::test {

std::string tool(const std::string &name);  // a stand-in in the build's tool folder
std::string mkpkg();                        // the package builder
std::string demo(const std::string &rel);   // demo content made by the build

// Certificates for signing tests, made with openssl in dir.
struct KeyPair {
    std::string key, cert;
};
KeyPair make_root_ca(const std::string &dir, const std::string &name, const std::string &cn);
// kind: "signer" (digital signature, code signing) or "server" (TLS server).
KeyPair issue_signer(const std::string &dir, const std::string &name, const std::string &cn, const KeyPair &issuer,
                     const std::string &existing_key = {}, const std::string &kind = "signer");

}  // namespace bwv::test
