#!/usr/bin/env bash
# Authenticode-signs Windows programs and drivers in place (SHA-256), for the archive and the setup program:
#   scripts/sign.sh FILE...
# The certificate is a PKCS#12 file named by KAV_SIGN_CERT, its password in KAV_SIGN_PASSWORD; with
# KAV_SIGN_TIMESTAMP (a time-stamping server's URL) the signatures are time-stamped, so that they stay valid
# after the certificate expires. Without KAV_SIGN_CERT a test certificate is used, made on the first run in
# build/signing/ (never part of the repository): Windows loads a driver signed with it only when booted in
# test-signing mode, and the script says so.
# build/signing/signing-ca.pem receives the certificates the signatures are to be verified against.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
keys=$root/build/signing
mkdir -p "$keys"

if [ -n "${KAV_SIGN_CERT:-}" ]; then
    cert=$KAV_SIGN_CERT
    password=${KAV_SIGN_PASSWORD:-}
    [ -f "$cert" ] || { echo "sign: KAV_SIGN_CERT names $cert, which does not exist" >&2; exit 1; }
    # A release certificate chains to a root the system trusts; the file may bring its intermediates.
    { cat /etc/ssl/certs/ca-certificates.crt
      openssl pkcs12 -in "$cert" -nokeys -passin fd:3 3<<<"$password"; } >"$keys/signing-ca.pem"
else
    cert=$keys/kavelor-test.pfx
    if [ ! -f "$cert" ] || [ ! -f "$keys/kavelor-test.pass" ]; then
        (umask 077
         openssl rand -hex 16 >"$keys/kavelor-test.pass"
         openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes -keyout "$keys/kavelor-test.key" \
             -out "$keys/kavelor-test.crt" -subj "/CN=Kavelor Test Signing - not for release/O=Kavelor" \
             -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
         openssl pkcs12 -export -inkey "$keys/kavelor-test.key" -in "$keys/kavelor-test.crt" -out "$cert" \
             -passout "file:$keys/kavelor-test.pass"
         rm -f "$keys/kavelor-test.key")
    fi
    password=$(cat "$keys/kavelor-test.pass")
    cp "$keys/kavelor-test.crt" "$keys/signing-ca.pem"
    echo "sign: no KAV_SIGN_CERT: signing with the test certificate $keys/kavelor-test.crt;" \
        "Windows loads Kavfiltr.sys signed so only in test-signing mode" >&2
fi

timestamp=()
[ -n "${KAV_SIGN_TIMESTAMP:-}" ] && timestamp=(-ts "$KAV_SIGN_TIMESTAMP")
for file in "$@"; do
    # The password reaches osslsigncode through a pipe, never its command line.
    osslsigncode sign -pkcs12 "$cert" -readpass <(printf '%s' "$password") -h sha256 -n "Kavelor" \
        "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
    echo "sign: $file"
done
