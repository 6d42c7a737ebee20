// Mints join tokens with an independent JOSE implementation (the jose package), for the server's token tests:
// prints one JSON object with the key sets to give the server, the HS256 secret and a table of tokens.
// Usage: node mint_tokens.mjs ISSUER AUDIENCE   (make bench uses the tokens of "anyRoom", one per algorithm)
import { SignJWT, generateKeyPair, exportJWK, exportSPKI, base64url } from 'jose';
import { generateKeyPairSync, randomBytes } from 'node:crypto';

const [issuer, audience] = process.argv.slice(2);
const now = Math.floor(Date.now() / 1000);
const secret = randomBytes(32).toString('hex');
const secretKey = new TextEncoder().encode(secret);

const es = await generateKeyPair('ES256', { extractable: true });
const ed = await generateKeyPair('EdDSA', { crv: 'Ed25519', extractable: true });
const rs = await generateKeyPair('RS256', { extractable: true });
const next = await generateKeyPair('ES256', { extractable: true });
const jwk = async (pair, kid) => ({ ...(await exportJWK(pair.publicKey)), kid, use: 'sig' });

const sign = (claims, alg, key, header = {}) =>
    new SignJWT({ iss: issuer, aud: audience, exp: now + 600, iat: now, ...claims })
        .setProtectedHeader({ alg, ...header })
        .sign(key);
const forRoom = (room, extra = {}) => ({ room, ...extra });
const unsigned = (header, claims) =>
    `${base64url.encode(JSON.stringify(header))}.${base64url.encode(JSON.stringify(claims))}.`;
const flipBit = (token) => {
    const [h, p, s] = token.split('.');
    const bytes = base64url.decode(s);
    bytes[5] ^= 0x01;
    return `${h}.${p}.${base64url.encode(bytes)}`;
};

// Each case joins a room of its own; `reason` is the failure the server counts, absent when it accepts.
const cases = [];
const add = async (name, room, token, reason) => cases.push({ name, room, token: await token, reason });
await add('ES256', 'c-es', sign(forRoom('c-es'), 'ES256', es.privateKey, { kid: 'es' }));
await add('EdDSA', 'c-ed', sign(forRoom('c-ed'), 'EdDSA', ed.privateKey, { kid: 'ed', typ: 'JWT' }));
await add('RS256', 'c-rs', sign(forRoom('c-rs'), 'RS256', rs.privateKey, { kid: 'rs' }));
await add('HS256 whatever its kid', 'c-hs', sign(forRoom('c-hs'), 'HS256', secretKey, { kid: 'es' }));
await add('room_prefix', 'team-7', sign({ room_prefix: 'team-' }, 'ES256', es.privateKey, { kid: 'es' }));
await add('aud as an array', 'c-aud', sign(forRoom('c-aud', { aud: ['other', audience] }), 'EdDSA', ed.privateKey, { kid: 'ed' }));
await add('expired within the leeway', 'c-lee', sign(forRoom('c-lee', { exp: now - 10 }), 'ES256', es.privateKey, { kid: 'es' }));
await add('alg none', 'c-none', unsigned({ alg: 'none', kid: 'es' }, { iss: issuer, aud: audience, exp: now + 600, room: 'c-none' }), 'signature');
await add('HS256 keyed with the public key', 'c-conf',
          sign(forRoom('c-conf'), 'HS256', new TextEncoder().encode(await exportSPKI(rs.publicKey)), { kid: 'rs' }), 'signature');
await add('a flipped signature bit', 'c-flip', flipBit(await sign(forRoom('c-flip'), 'ES256', es.privateKey, { kid: 'es' })), 'signature');
await add('alg of another key type', 'c-type', sign(forRoom('c-type'), 'ES256', es.privateKey, { kid: 'ed' }), 'signature');
await add('another room', 'c-mine', sign(forRoom('c-theirs'), 'ES256', es.privateKey, { kid: 'es' }), 'claims');
await add('expired', 'c-exp', sign(forRoom('c-exp', { exp: now - 120 }), 'EdDSA', ed.privateKey, { kid: 'ed' }), 'expired');
await add('not yet valid', 'c-nbf', sign(forRoom('c-nbf', { nbf: now + 120 }), 'RS256', rs.privateKey, { kid: 'rs' }), 'expired');
await add('issued in the future', 'c-iat', sign(forRoom('c-iat', { iat: now + 120 }), 'HS256', secretKey), 'expired');
await add('no exp', 'c-noexp', sign(forRoom('c-noexp', { exp: undefined }), 'HS256', secretKey), 'claims');
await add('wrong issuer', 'c-iss', sign(forRoom('c-iss', { iss: 'https://evil.example' }), 'ES256', es.privateKey, { kid: 'es' }), 'claims');
await add('wrong audience', 'c-aud2', sign(forRoom('c-aud2', { aud: 'someone-else' }), 'ES256', es.privateKey, { kid: 'es' }), 'claims');
await add('unknown kid', 'c-kid', sign(forRoom('c-kid'), 'ES256', next.privateKey, { kid: 'next' }), 'unknown_key');
await add('1 MiB', 'c-big', sign(forRoom('c-big', { pad: 'x'.repeat(1 << 20) }), 'HS256', secretKey), 'malformed');
await add('not a JWS', 'c-junk', 'not-a.token', 'malformed');

const small = generateKeyPairSync('rsa', { modulusLength: 1024 });
const out = {
    secret,
    keys: { keys: [await jwk(es, 'es'), await jwk(ed, 'ed'), await jwk(rs, 'rs')] },
    nextKeys: { keys: [await jwk(next, 'next')] },
    // Sets a server must refuse to load: a private key, an RSA key below 2048 bits.
    badKeys: {
        private: { keys: [{ ...(await exportJWK(es.privateKey)), kid: 'es' }] },
        rsa1024: { keys: [{ ...small.publicKey.export({ format: 'jwk' }), kid: 'small' }] },
    },
    privateParts: [(await exportJWK(es.privateKey)).d, (await exportJWK(ed.privateKey)).d, (await exportJWK(rs.privateKey)).d],
    cases,
    tokens: {
        old: await sign(forRoom('rot'), 'ES256', es.privateKey, { kid: 'es' }),
        next: await sign(forRoom('rot'), 'ES256', next.privateKey, { kid: 'next' }),
        limited: await sign(forRoom('lim', { nick: 'Token Nick', max_seconds: 1 }), 'EdDSA', ed.privateKey, { kid: 'ed' }),
        partner: await sign(forRoom('lim'), 'HS256', secretKey),
    },
    // Good for every room for an hour, one per algorithm.
    anyRoom: {
        ES256: await sign({ room_prefix: '', exp: now + 3600 }, 'ES256', es.privateKey, { kid: 'es' }),
        EdDSA: await sign({ room_prefix: '', exp: now + 3600 }, 'EdDSA', ed.privateKey, { kid: 'ed' }),
        RS256: await sign({ room_prefix: '', exp: now + 3600 }, 'RS256', rs.privateKey, { kid: 'rs' }),
        HS256: await sign({ room_prefix: '', exp: now + 3600 }, 'HS256', secretKey),
    },
};
process.stdout.write(JSON.stringify(out));
