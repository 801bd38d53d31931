#!/usr/bin/env bash
# Packs the build again as a maintainer signs a release, with a throwaway certificate
# valid for one day and a throwaway timestamping authority on 127.0.0.1, and checks
# the result: the signature verifies, and still does once the certificate has expired
# (which one without a timestamp does not); the zip holds the signed exe, README.txt
# and LICENSE.txt with CR LF line ends; the release folder gains only the zip, the
# build record and SHA256SUMS, which list this version's files only; and without its
# signature the exe is the unsigned one to the byte. Leaves the signed exe, with the
# stand-in setupapi.dll, in WORK/run for the case corpus to run on.
# usage: signing.sh BUILD-DIR WORK
set -u
export LC_ALL=C
build=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work/run" "$work/unzipped" "$work/release"
cd "$work" || exit 1
fail() { echo "$*"; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Halvern test signing" \
    -addext keyUsage=digitalSignature -addext extendedKeyUsage=codeSigning \
    -keyout key.pem -out cert.pem 2> openssl.log || fail "openssl: $(cat openssl.log)"
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Halvern test TSA" \
    -addext basicConstraints=critical,CA:false -addext keyUsage=critical,digitalSignature \
    -addext extendedKeyUsage=critical,timeStamping \
    -keyout tsa-key.pem -out tsa.pem 2> openssl.log || fail "openssl: $(cat openssl.log)"
echo 01 > tsa-serial
cat > tsa.cnf <<END
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $work/tsa-serial
signer_cert = $work/tsa.pem
signer_key = $work/tsa-key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
END
perl "$here/tsa.pl" tsa.cnf tsa-port 2> tsa.log &
tsa=$!
trap 'kill $tsa 2> /dev/null' EXIT
for ((i = 0; i < 100; i++)); do [ -f tsa-port ] && break; sleep 0.1; done
[ -f tsa-port ] || fail "the timestamping authority did not start: $(cat tsa.log)"

# Another version's zip, left in the release folder, must stay out of SHA256SUMS, and
# an earlier record out of the build record.
stale=halvern-0.9.0-win32.zip
echo stale > "release/$stale"
echo "win32 stale-package 0.9" > release/build-record.txt
HALVERN_SIGN_CERT=$work/cert.pem HALVERN_SIGN_KEY=$work/key.pem \
    HALVERN_SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat tsa-port) \
    cpack --config "$build/CPackConfig.cmake" -B "$work/pack" \
    -D CPACK_HALVERN_RELEASE_DIR="$work/release" > cpack.log 2>&1 || fail "cpack: $(cat cpack.log)"
grep -q 'Signed ' cpack.log || fail "packing did not sign the exe"
grep -q 'will expire' cpack.log && fail "packing with a timestamp server still warns of expiry"

# The signed exe, as it went into the zip: the release holds no exe of its own.
zip=
for file in release/halvern-*.zip; do
    [ "${file#release/}" = "$stale" ] || zip=${file#release/}
done
[ -n "$zip" ] || fail "no zip in $work/release"
(cd unzipped && cmake -E tar xf "$work/release/$zip") || fail "cannot unzip"
signed=$work/unzipped/halvern.exe
[ -f "$signed" ] || fail "no halvern.exe in $zip"
osslsigncode verify -CAfile cert.pem -in "$build/halvern.exe" > /dev/null 2>&1 &&
    fail "the unsigned exe verifies"
osslsigncode verify -CAfile cert.pem -TSA-CAfile tsa.pem -in "$signed" > verify.log 2>&1 ||
    fail "the signed exe does not verify: $(cat verify.log)"
grep -q 'Timestamp Server Signature verification: ok' verify.log ||
    fail "the signature carries no timestamp: $(cat verify.log)"

# Two days on, the certificate has expired: the timestamp still vouches for the
# signature, and without one it no longer verifies.
later=$(($(date +%s) + 2 * 86400))
osslsigncode verify -CAfile cert.pem -TSA-CAfile tsa.pem -time "$later" -in "$signed" \
    > verify-later.log 2>&1 ||
    fail "the timestamped signature does not verify once its certificate has expired: $(cat verify-later.log)"
cp "$build/halvern.exe" untimestamped.exe
cmake -DEXE=untimestamped.exe -DCERT=cert.pem -DKEY=key.pem -P "$here/../cmake/sign.cmake" \
    > sign.log 2>&1 || fail "sign.cmake: $(cat sign.log)"
grep -q 'will expire with its certificate' sign.log || fail "signing without a timestamp did not warn"
osslsigncode verify -CAfile cert.pem -in untimestamped.exe > /dev/null 2>&1 ||
    fail "the untimestamped exe does not verify now"
osslsigncode verify -CAfile cert.pem -time "$later" -in untimestamped.exe > /dev/null 2>&1 &&
    fail "an untimestamped signature verifies after its certificate has expired"

held=$(find unzipped -mindepth 1 -printf '%P\n' | sort | tr '\n' ' ')
[ "$held" = "LICENSE.txt README.txt halvern.exe " ] || fail "the zip holds $held"
for text in README.txt LICENSE.txt; do
    [ "$(grep -c $'\r$' "unzipped/$text")" = "$(wc -l < "unzipped/$text")" ] ||
        fail "$text has lines without CR LF"
done
grep -q '@' unzipped/README.txt && fail "README.txt has a placeholder left: $(grep '@' unzipped/README.txt)"
grep -q 'halvern.exe is signed:' unzipped/README.txt || fail "README.txt does not say the exe is signed"
system=${zip%.zip}
system=${system##*-}
[ "$(cut -d' ' -f3 release/SHA256SUMS | tr '\n' ' ')" = "$zip build-record.txt " ] ||
    fail "SHA256SUMS lists other files: $(cat release/SHA256SUMS)"
[ "$(find release -mindepth 1 -printf '%P\n' | sort | tr '\n' ' ')" = "SHA256SUMS build-record.txt $stale $zip " ] ||
    fail "the release folder holds more than the published files: $(find release -mindepth 1 -printf '%P ')"
if [ "$(grep -v '^#' release/build-record.txt | cut -d' ' -f1 | sort -u)" != "$system" ] ||
    grep -q stale-package release/build-record.txt; then
    fail "build-record.txt is not $system's alone: $(cat release/build-record.txt)"
fi
(cd release && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"

osslsigncode remove-signature -in "$signed" -out unsigned.exe > /dev/null ||
    fail "osslsigncode cannot remove the signature"
cmp -s unsigned.exe "$build/halvern.exe" || fail "without its signature the exe is not the unsigned one"

cp "$signed" "$build/setupapi.dll" run/
echo "signed, verified, and unsigned again to the byte: $signed"
