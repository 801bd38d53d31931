#!/usr/bin/env bash
# Packs the build again with a throwaway certificate, as a maintainer signs a release,
# and checks the signed exe: osslsigncode verifies it against that certificate, it is
# the exe in the zip, and removing the signature gives back the unsigned exe to the
# byte. Leaves the signed exe, with the stand-in setupapi.dll, in WORK/run for the case
# corpus to run on.
# usage: signing.sh BUILD-DIR WORK
set -u
build=$1 work=$2
rm -rf "$work"
mkdir -p "$work/run" "$work/unzipped"
cd "$work" || exit 1
fail() { echo "$*"; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Halvern test signing" \
    -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning \
    -keyout key.pem -out cert.pem 2> openssl.log || fail "openssl: $(cat openssl.log)"
HALVERN_SIGN_CERT=$work/cert.pem HALVERN_SIGN_KEY=$work/key.pem \
    cpack --config "$build/CPackConfig.cmake" -B "$work/pack" \
    -D CPACK_HALVERN_RELEASE_DIR="$work/release" > cpack.log 2>&1 || fail "cpack: $(cat cpack.log)"
grep -q 'Signed ' cpack.log || fail "packing did not sign the exe"

signed=$(echo "$work"/release/win*/halvern.exe)
[ -f "$signed" ] || fail "no signed exe in $work/release"
osslsigncode verify -CAfile cert.pem -in "$build/halvern.exe" > /dev/null 2>&1 &&
    fail "the unsigned exe verifies"
osslsigncode verify -CAfile cert.pem -in "$signed" > verify.log 2>&1 ||
    fail "the signed exe does not verify: $(cat verify.log)"

(cd unzipped && cmake -E tar xf "$work"/release/halvern-*.zip) || fail "cannot unzip"
cmp -s unzipped/halvern.exe "$signed" || fail "the zip does not hold the signed exe"

osslsigncode remove-signature -in "$signed" -out unsigned.exe > /dev/null ||
    fail "osslsigncode cannot remove the signature"
cmp -s unsigned.exe "$build/halvern.exe" || fail "without its signature the exe is not the unsigned one"

cp "$signed" "$build/setupapi.dll" run/
echo "signed, verified, and unsigned again to the byte: $signed"
