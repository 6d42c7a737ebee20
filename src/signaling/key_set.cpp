// JWK set parsing into OpenSSL public keys, and the signature checks of ES256, EdDSA, RS256 and HS256.
#include "signaling/key_set.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "signaling/base64url.hpp"

namespace murva {

namespace {

using json = nlohmann::json;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

constexpr int minRsaBits = 2048;

[[noreturn]] void refuse(const std::string& where, const std::string& why) {
    throw std::invalid_argument(where + ": " + why);
}

std::string member(const json& jwk, const char* name, const std::string& where) {
    const auto it = jwk.find(name);
    if (it == jwk.end() || !it->is_string())
        refuse(where, std::string("\"") + name + "\" must be a string");
    return it->get<std::string>();
}

std::string bytesMember(const json& jwk, const char* name, const std::string& where) {
    auto bytes = decodeBase64Url(member(jwk, name, where));
    if (!bytes || bytes->empty())
        refuse(where, std::string("\"") + name + "\" is not base64url");
    return *bytes;
}

// Builds a public key of `type` ("EC", "RSA") from OpenSSL parameters; null when OpenSSL refuses them (a point
// off the curve, say).
Pkey fromParams(const char* type, OSSL_PARAM_BLD* build) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx) <= 0 ||
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    return Pkey(key);
}

Pkey ecKey(const json& jwk, const std::string& where) {
    if (member(jwk, "crv", where) != "P-256")
        refuse(where, "only the EC curve P-256 is taken");
    const std::string x = bytesMember(jwk, "x", where), y = bytesMember(jwk, "y", where);
    if (x.size() != 32 || y.size() != 32)
        refuse(where, "\"x\" and \"y\" must be 32 bytes each");
    const std::string point = '\x04' + x + y; // uncompressed
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    Pkey key;
    if (build && OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) &&
        OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()))
        key = fromParams("EC", build);
    OSSL_PARAM_BLD_free(build);
    if (!key)
        refuse(where, "not a point on P-256");
    return key;
}

Pkey okpKey(const json& jwk, const std::string& where) {
    if (member(jwk, "crv", where) != "Ed25519")
        refuse(where, "only the OKP curve Ed25519 is taken");
    const std::string x = bytesMember(jwk, "x", where);
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(x.data()),
                                         x.size()));
    if (!key)
        refuse(where, "\"x\" is not an Ed25519 public key");
    return key;
}

Pkey rsaKey(const json& jwk, const std::string& where) {
    const std::string n = bytesMember(jwk, "n", where), e = bytesMember(jwk, "e", where);
    BIGNUM* bn = BN_bin2bn(reinterpret_cast<const unsigned char*>(n.data()), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(reinterpret_cast<const unsigned char*>(e.data()), static_cast<int>(e.size()), nullptr);
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    Pkey key;
    if (bn && be && build && OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, bn) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, be))
        key = fromParams("RSA", build);
    OSSL_PARAM_BLD_free(build);
    BN_free(bn);
    BN_free(be);
    if (!key)
        refuse(where, "not an RSA public key");
    if (EVP_PKEY_get_bits(key.get()) < minRsaBits)
        refuse(where, "RSA keys must have at least 2048 bits");
    return key;
}

// An ES256 signature is r and s, 32 bytes each; OpenSSL checks the DER form.
std::string derFromJose(std::string_view signature) {
    if (signature.size() != 64)
        return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(signature.data());
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(bytes, 32, nullptr);
    BIGNUM* s = BN_bin2bn(bytes + 32, 32, nullptr);
    std::string der;
    if (sig && r && s && ECDSA_SIG_set0(sig, r, s) == 1) {
        r = s = nullptr; // owned by sig now
        unsigned char* out = nullptr;
        const int length = i2d_ECDSA_SIG(sig, &out);
        if (length > 0)
            der.assign(reinterpret_cast<char*>(out), static_cast<std::size_t>(length));
        OPENSSL_free(out);
    }
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return der;
}

} // namespace

struct KeySet::Key {
    Pkey pkey;
    std::string alg; // "ES256", "EdDSA" or "RS256": the only one this key checks
};

KeySet::KeySet() = default;
KeySet::~KeySet() = default;

std::shared_ptr<const KeySet> KeySet::parse(std::string_view text) {
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object() || !root.contains("keys") || !root["keys"].is_array())
        throw std::invalid_argument("not a JSON Web Key Set (an object with a \"keys\" array)");
    auto set = std::make_shared<KeySet>();
    const json& keys = root["keys"];
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const json& jwk = keys[i];
        std::string where = "keys[" + std::to_string(i) + "]";
        if (!jwk.is_object())
            refuse(where, "must be an object");
        const std::string kid = member(jwk, "kid", where);
        where += " (kid \"" + kid + "\")";
        if (set->keys_.count(kid))
            refuse(where, "a kid must name one key");
        // Private parts have no business on this server: whoever can read the file could sign tokens.
        for (const char* secret : {"d", "p", "q", "dp", "dq", "qi", "k"})
            if (jwk.contains(secret))
                refuse(where, "holds a private or secret key; give only the public part");
        if (jwk.contains("use") && jwk["use"] != "sig")
            refuse(where, "\"use\" must be \"sig\"");
        auto key = std::make_unique<Key>();
        const std::string kty = member(jwk, "kty", where);
        if (kty == "EC") {
            key->pkey = ecKey(jwk, where);
            key->alg = "ES256";
        } else if (kty == "OKP") {
            key->pkey = okpKey(jwk, where);
            key->alg = "EdDSA";
        } else if (kty == "RSA") {
            key->pkey = rsaKey(jwk, where);
            key->alg = "RS256";
        } else {
            refuse(where, "\"kty\" must be \"EC\", \"OKP\" or \"RSA\"");
        }
        if (jwk.contains("alg") && jwk["alg"] != key->alg)
            refuse(where, "\"alg\" must be \"" + key->alg + "\" for this key");
        set->keys_.emplace(kid, std::move(key));
    }
    return set;
}

std::shared_ptr<const KeySet> KeySet::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        in.setstate(std::ios::badbit);
    }
    if (!in.is_open() || in.bad())
        throw std::invalid_argument("auth.keys: could not read " + path);
    try {
        return parse(text);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("auth.keys " + path + ": " + e.what());
    }
}

const KeySet::Key* KeySet::find(std::string_view kid) const {
    const auto it = keys_.find(kid);
    return it == keys_.end() ? nullptr : it->second.get();
}

SignatureCheck verifyWithKey(const KeySet::Key& key, std::string_view alg, std::string_view signedPart,
                             std::string_view signature) {
    if (alg != key.alg)
        return SignatureCheck::WrongAlgorithm;
    std::string der;
    if (alg == "ES256") {
        der = derFromJose(signature);
        if (der.empty())
            return SignatureCheck::Invalid;
        signature = der;
    }
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const EVP_MD* digest = alg == "EdDSA" ? nullptr : EVP_sha256(); // Ed25519 hashes by itself
    const bool valid =
        ctx && EVP_DigestVerifyInit(ctx, nullptr, digest, nullptr, key.pkey.get()) == 1 &&
        EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                         reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return valid ? SignatureCheck::Valid : SignatureCheck::Invalid;
}

SignatureCheck verifyWithSecret(const std::string& secret, std::string_view signedPart, std::string_view signature) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
              reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size(), mac, &length))
        return SignatureCheck::Invalid;
    if (signature.size() != length || CRYPTO_memcmp(mac, signature.data(), length) != 0)
        return SignatureCheck::Invalid;
    return SignatureCheck::Valid;
}

} // namespace murva
