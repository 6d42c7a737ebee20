// The checks of a join token, in the order that spends the least on a forgery: size, form, header, key and
// signature, and only then the claims (RFC 8725: the header's alg must fit the key, never "none").
#include "signaling/join_token.hpp"

#include <cmath>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "signaling/base64url.hpp"
#include "signaling/protocol.hpp"

namespace murva {

namespace {

using json = nlohmann::json;

std::optional<json> decodeObject(std::string_view part) {
    const auto bytes = decodeBase64Url(part);
    if (!bytes)
        return std::nullopt;
    json value = json::parse(*bytes, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return std::nullopt;
    return value;
}

// A NumericDate; absent is fine, anything else but a finite number is not.
bool numericDate(const json& claims, const char* name, std::optional<int64_t>& out) {
    const auto it = claims.find(name);
    if (it == claims.end())
        return true;
    if (!it->is_number() || !std::isfinite(it->get<double>()) || std::fabs(it->get<double>()) > 1e15)
        return false;
    out = static_cast<int64_t>(std::floor(it->get<double>()));
    return true;
}

bool audienceMatches(const json& aud, const std::string& audience) {
    if (aud.is_string())
        return aud == audience;
    if (aud.is_array())
        for (const auto& one : aud)
            if (one.is_string() && one == audience)
                return true;
    return false;
}

} // namespace

std::string_view tokenFailureName(TokenFailure failure) {
    switch (failure) {
    case TokenFailure::Signature: return "signature";
    case TokenFailure::Expired: return "expired";
    case TokenFailure::Claims: return "claims";
    case TokenFailure::Malformed: return "malformed";
    case TokenFailure::UnknownKey: break;
    }
    return "unknown_key";
}

TokenVerifier::TokenVerifier(const AuthSettings& settings)
    : settings_(settings), keys_(settings.keysFile.empty() ? nullptr : KeySet::load(settings.keysFile)) {}

std::optional<TokenFailure> TokenVerifier::checkSignature(const std::string& alg, const std::string* kid,
                                                          std::string_view signedPart,
                                                          std::string_view signature) const {
    SignatureCheck check;
    if (alg == "HS256") {
        // The secret alone checks HS256, whatever the kid says: a public key is never taken as an HMAC secret.
        if (settings_.hs256Secret.empty())
            return TokenFailure::UnknownKey;
        check = verifyWithSecret(settings_.hs256Secret, signedPart, signature);
    } else if (alg == "ES256" || alg == "EdDSA" || alg == "RS256") {
        const KeySet::Key* key = kid && keys_ ? keys_->find(*kid) : nullptr;
        if (!key)
            return TokenFailure::UnknownKey;
        check = verifyWithKey(*key, alg, signedPart, signature);
    } else {
        return TokenFailure::Signature; // "none" and every algorithm we do not take
    }
    if (check != SignatureCheck::Valid)
        return TokenFailure::Signature;
    return std::nullopt;
}

TokenResult TokenVerifier::verify(std::string_view token, std::string_view room, int64_t now) const {
    auto fail = [](TokenFailure failure) { return TokenResult{failure, {}}; };
    if (token.size() > maxTokenBytes)
        return fail(TokenFailure::Malformed);
    const auto firstDot = token.find('.');
    const auto lastDot = token.rfind('.');
    if (firstDot == std::string_view::npos || firstDot == lastDot || token.find('.', firstDot + 1) != lastDot)
        return fail(TokenFailure::Malformed);
    const auto header = decodeObject(token.substr(0, firstDot));
    const auto signature = decodeBase64Url(token.substr(lastDot + 1));
    if (!header || !signature)
        return fail(TokenFailure::Malformed);
    const auto alg = header->find("alg");
    const auto kid = header->find("kid");
    const auto typ = header->find("typ");
    if (alg == header->end() || !alg->is_string() || (kid != header->end() && !kid->is_string()) ||
        (typ != header->end() && (!typ->is_string() || *typ != "JWT")))
        return fail(TokenFailure::Malformed);
    // Extensions we do not understand must not be ignored (RFC 7515, 4.1.11).
    if (header->contains("crit"))
        return fail(TokenFailure::Malformed);
    const std::string* keyId = kid == header->end() ? nullptr : &kid->get_ref<const std::string&>();
    if (auto failure = checkSignature(alg->get<std::string>(), keyId, token.substr(0, lastDot), *signature))
        return fail(*failure);

    // Signed by a key we trust: from here the claims are the application's word.
    const auto claims = decodeObject(token.substr(firstDot + 1, lastDot - firstDot - 1));
    if (!claims)
        return fail(TokenFailure::Malformed);
    std::optional<int64_t> exp, nbf, iat;
    if (!numericDate(*claims, "exp", exp) || !numericDate(*claims, "nbf", nbf) || !numericDate(*claims, "iat", iat))
        return fail(TokenFailure::Malformed);
    const int64_t leeway = settings_.leewaySeconds;
    if (!exp) // a token without an end could never be taken back
        return fail(TokenFailure::Claims);
    if (*exp + leeway <= now || (nbf && *nbf - leeway > now) || (iat && *iat - leeway > now))
        return fail(TokenFailure::Expired);

    const auto iss = claims->find("iss");
    if (!settings_.issuer.empty() && (iss == claims->end() || *iss != settings_.issuer))
        return fail(TokenFailure::Claims);
    const auto aud = claims->find("aud");
    if (!settings_.audience.empty() && (aud == claims->end() || !audienceMatches(*aud, settings_.audience)))
        return fail(TokenFailure::Claims);
    const auto exact = claims->find("room");
    const auto prefix = claims->find("room_prefix");
    const bool roomMatches =
        (exact != claims->end() && exact->is_string() && *exact == room) ||
        (prefix != claims->end() && prefix->is_string() && room.starts_with(prefix->get_ref<const std::string&>()));
    if (!roomMatches)
        return fail(TokenFailure::Claims);

    TokenResult result;
    if (const auto nick = claims->find("nick"); nick != claims->end()) {
        if (!nick->is_string())
            return fail(TokenFailure::Claims);
        result.grant.nick = truncateUtf8(nick->get<std::string>(), maxNickBytes);
    }
    if (const auto limit = claims->find("max_seconds"); limit != claims->end()) {
        if (!limit->is_number_unsigned() || limit->get<uint64_t>() == 0 || limit->get<uint64_t>() > UINT32_MAX)
            return fail(TokenFailure::Claims);
        result.grant.maxSeconds = limit->get<uint32_t>();
    }
    return result;
}

} // namespace murva
