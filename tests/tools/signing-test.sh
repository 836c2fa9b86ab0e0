#!/bin/bash
# Signing after packing, end to end: a throwaway certificate, a packed setup signed with osslsigncode and
# verified, --info and --extract on the signed setup, the signature broken by a damaged package, a signed
# launcher refused, and the signed setup installing and removing its product under Wine.
# Usage: signing-test.sh <bin directory> <packtest package>
set -u
bin=$1
package=$2
run="$bin/../wine/run"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# shellcheck source=tests/tools/checks.sh
source "$(dirname "$0")/checks.sh"

dir="$scratch/signing with blank"
mkdir -p "$dir"
cd "$dir" || exit 1
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Kestrel Test Signer" \
  -addext extendedKeyUsage=codeSigning 2>openssl.err || { cat openssl.err; exit 1; }
sign() { osslsigncode sign -certs cert.pem -key key.pem -n "Kestrel Packtest" -h sha256 -in "$1" -out "$2" >sign.out; }

"$bin/kestrel-pack" "$package" setup.exe >/dev/null
check "the packed setup is signed" sign setup.exe signed.exe
check "osslsigncode verifies the signature" eval 'osslsigncode verify -CAfile cert.pem -in signed.exe >verify.out'

"$bin/kestrel-pack" --info signed.exe >info.out
check "--info on the signed setup: exit code 0" test $? = 0
check "and the signature present" grep -qx "Signature:    present (Authenticode, not verified)" info.out
check "and the package whole" grep -q "^Digest:       crc32c:[0-9a-f]\{8\}, the package matches it$" info.out
"$run" "$bin/kestrel-pack.exe" --info --json signed.exe >json.out
check "kestrel-pack.exe --info --json says signed" grep -q '"digestMatches":true,"signed":true,"icon":null,"packerVersion":"' json.out
check "--extract returns the package of the signed setup" \
  eval '"$bin/kestrel-pack" --extract signed.exe product.msi >/dev/null'
check "byte for byte" cmp product.msi "$package"
check "without its signature, the signed setup is the packed one again" \
  eval 'osslsigncode remove-signature -in signed.exe -out unsigned.exe >/dev/null && cmp unsigned.exe setup.exe'

# One byte of the package changed: the signature and the digest both tell.
# The package starts with the compound file signature, which the launcher does not carry.
offset=$(LC_ALL=C grep -obUaP '\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1' signed.exe | head -1 | cut -d: -f1)
cp signed.exe damaged.exe
perl -e 'open(F, "+<", $ARGV[0]) or die; seek(F, $ARGV[1], 0); read(F, $b, 1); seek(F, $ARGV[1], 0);
  print F chr(ord($b) ^ 1)' damaged.exe $((offset + 4096))
check "osslsigncode no longer verifies the damaged setup" \
  eval '! osslsigncode verify -CAfile cert.pem -in damaged.exe >/dev/null 2>&1'
"$bin/kestrel-pack" --info damaged.exe >/dev/null 2>damaged.err
check "--info on it: exit code 1" test $? = 1
check "naming the damage" grep -q "damaged.exe' is damaged: its digest is crc32c:" damaged.err

check "the bare launcher is signed" sign "$bin/kestrel-launcher.exe" signed-launcher.exe
"$bin/kestrel-pack" --launcher signed-launcher.exe "$package" refused.exe 2>refused.err
check "packing the signed launcher is refused" test $? = 1 -a ! -e refused.exe
check "as signed" grep -q "cannot be packed: it is signed, and its signature would not hold for the setup" refused.err

check_install_and_removal signed "$dir/signed.exe"

(( failures == 0 ))
