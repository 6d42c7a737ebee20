// The public keys join tokens are checked with: a JSON Web Key Set, each key found by its "kid", and the
// signature check of each algorithm we take.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace murva {

enum class SignatureCheck { Valid, Invalid, WrongAlgorithm };

class KeySet {
public:
    struct Key; // an OpenSSL public key and the one algorithm it is for (key_set.cpp)

    // Parses a JWK set of public keys: EC P-256 (ES256), Ed25519 (EdDSA), RSA of 2048 bits or more (RS256).
    // Throws std::invalid_argument naming the first key that is not one of these, carries a private part, or
    // has no "kid" or the "kid" of another.
    static std::shared_ptr<const KeySet> parse(std::string_view text);
    // The same from the file at `path`; a file that cannot be read throws std::invalid_argument too.
    static std::shared_ptr<const KeySet> load(const std::string& path);

    KeySet();
    ~KeySet();
    KeySet(const KeySet&) = delete;
    KeySet& operator=(const KeySet&) = delete;

    const Key* find(std::string_view kid) const;
    std::size_t size() const { return keys_.size(); }

private:
    std::map<std::string, std::unique_ptr<Key>, std::less<>> keys_;
};

// Checks `signature` over `signed` with `key` under the header's `alg`, which must be the key's own algorithm.
SignatureCheck verifyWithKey(const KeySet::Key& key, std::string_view alg, std::string_view signedPart,
                             std::string_view signature);

// HS256 with the shared secret, compared in constant time.
SignatureCheck verifyWithSecret(const std::string& secret, std::string_view signedPart, std::string_view signature);

} // namespace murva
