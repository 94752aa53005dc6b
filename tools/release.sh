#!/usr/bin/env bash
# Builds the Linux and the Windows program and their portable packages, and
# puts the two packages with their SHA256SUMS in one release folder. The build
# is reproducible: the same commit gives the same bytes in any folder.
#
# renumber.exe is signed (Authenticode, SHA-256) when the environment names a
# certificate; managed Windows PCs and Smart App Control run no unsigned
# program. Either a PKCS#12 file:
#   RENUMBER_SIGN_PKCS12         the .p12/.pfx file
#   RENUMBER_SIGN_PASSWORD_FILE  the file that holds its password
# or a key on a PKCS#11 token or HSM:
#   RENUMBER_SIGN_PKCS11_MODULE  the token's PKCS#11 module (.so)
#   RENUMBER_SIGN_KEY            the key, a pkcs11: URI
#   RENUMBER_SIGN_CERT           its certificate and the chain, PEM
#   RENUMBER_SIGN_PASSWORD_FILE  the file that holds the token's PIN
# and, with either, RENUMBER_SIGN_TIMESTAMP_URL: an RFC 3161 time-stamping
# authority, so that the signature outlives the certificate.
# Usage: tools/release.sh [RELEASE_FOLDER]   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
release=$(realpath -m "${1:-release}")
# Every time inside the packages is the time of the last commit.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

fail() {
  echo "release.sh: $*" >&2
  exit 1
}

# Signs $1 into $2. osslsigncode reads the password from its file itself, so
# that it is on no command line and in no log.
sign() {
  local how
  if [[ -n ${RENUMBER_SIGN_PKCS12:-} ]]; then
    [[ -n ${RENUMBER_SIGN_PASSWORD_FILE:-} ]] ||
      fail "RENUMBER_SIGN_PKCS12 needs RENUMBER_SIGN_PASSWORD_FILE, the file that holds its password"
    how=(-pkcs12 "$RENUMBER_SIGN_PKCS12")
  else
    [[ -n ${RENUMBER_SIGN_KEY:-} && -n ${RENUMBER_SIGN_CERT:-} ]] ||
      fail "RENUMBER_SIGN_PKCS11_MODULE needs RENUMBER_SIGN_KEY (a pkcs11: URI) and RENUMBER_SIGN_CERT (the certificate chain, PEM)"
    [[ $RENUMBER_SIGN_KEY != *pin-value=* ]] ||
      fail "RENUMBER_SIGN_KEY holds the PIN, which would be on a command line: put it in RENUMBER_SIGN_PASSWORD_FILE"
    how=(-pkcs11module "$RENUMBER_SIGN_PKCS11_MODULE" -key "$RENUMBER_SIGN_KEY"
         -certs "$RENUMBER_SIGN_CERT")
  fi
  [[ -z ${RENUMBER_SIGN_PASSWORD_FILE:-} ]] || how+=(-readpass "$RENUMBER_SIGN_PASSWORD_FILE")
  [[ -z ${RENUMBER_SIGN_TIMESTAMP_URL:-} ]] || how+=(-ts "$RENUMBER_SIGN_TIMESTAMP_URL")
  osslsigncode sign "${how[@]}" -h sha256 -n renumber -in "$1" -out "$2" >/dev/null ||
    fail "osslsigncode could not sign $1"
  # Smart App Control accepts RSA signatures only: a release signed otherwise
  # would still be blocked there.
  osslsigncode extract-signature -pem -in "$2" -out "$2.p7" >/dev/null
  local algorithm
  algorithm=$(openssl pkcs7 -in "$2.p7" -print -noout |
    sed -n '/digest_enc_alg:/{n;s/^ *algorithm: //p;q}')
  [[ $algorithm == rsaEncryption* ]] ||
    fail "the key signs with ${algorithm:-an unknown algorithm}, not RSA; Windows' Smart App Control accepts RSA signatures only: sign with an RSA key"
}

rm -f "$release"/{renumber-1.00-Linux.tar.gz,renumber-1.00-win64.zip,SHA256SUMS}
for preset in release windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# The build's own renumber.exe stays unsigned, as the reproducible build left
# it; a signed copy goes into the zip.
shipped=()
if [[ -n ${RENUMBER_SIGN_PKCS12:-}${RENUMBER_SIGN_PKCS11_MODULE:-} ]]; then
  staging=$(mktemp -d)
  trap 'rm -rf "$staging"' EXIT
  sign build-windows/renumber.exe "$staging/renumber.exe"
  shipped=("$staging/renumber.exe")
  signed="renumber.exe is signed"
else
  signed="renumber.exe is NOT signed: no certificate named (RENUMBER_SIGN_PKCS12 or RENUMBER_SIGN_PKCS11_MODULE)"
fi

mkdir -p "$release"
python3 tools/package.py build-release/renumber "$release/renumber-1.00-Linux.tar.gz"
python3 tools/package.py build-windows/renumber.exe "$release/renumber-1.00-win64.zip" "${shipped[@]}"
(cd "$release" && sha256sum renumber-1.00-Linux.tar.gz renumber-1.00-win64.zip >SHA256SUMS)
echo "release: $release"
echo "release.sh: $signed"
cat "$release/SHA256SUMS"
