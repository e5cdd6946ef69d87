#!/usr/bin/env bash
# Makes dist/quillex-<version>-x64/ and its zip from build-windows/ (run
# scripts/build-windows.sh first), signed with a test certificate made here:
#   quillex.sys, quillex.pdb   the driver, signed SHA-1 then nested SHA-256
#   quillex.inf                DriverVer from windows/VERSION and the build date
#   quillex.cat                the package's catalog (windows/catalog/), signed SHA-1
#   quillex-test.cer           the test certificate, for Root and TrustedPublisher
#   INSTALL.md                 how to install in test mode
#   quillex_state.exe          a C application of the control interface
# then checks the INF and verifies every signature and catalog member.
#
# The build date is SOURCE_DATE_EPOCH, else the last commit's date. The test
# key stays in build-windows/signing/ (made once, kept between runs).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-windows
for f in quillex.sys quillex.pdb quillex_state.exe; do
    [[ -f $build/$f ]] || { echo "package: no $build/$f: run scripts/build-windows.sh first" >&2; exit 2; }
done
need=()
command -v osslsigncode >/dev/null || need+=(osslsigncode)
command -v openssl >/dev/null || need+=(openssl)
command -v zip >/dev/null || need+=(zip)
if ((${#need[@]})); then
    apt-get install -y -q "${need[@]}" >/dev/null
fi

version=$(tr -d ' \n' <windows/VERSION)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "package: windows/VERSION is not w.x.y.z" >&2; exit 1; }
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%m/%d/%Y)
name=quillex-$version-x64
dist=dist/$name
rm -rf "$dist" "dist/$name.zip"
mkdir -p "$dist"

# The test certificate: code signing, ten years.
keys=$build/signing
if [[ ! -f $keys/key.pem || ! -f $keys/cert.pem ]]; then
    mkdir -p "$keys"
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout "$keys/key.pem" \
        -out "$keys/cert.pem" -subj "/CN=Quillex Test Signing" \
        -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" 2>/dev/null
fi
openssl x509 -in "$keys/cert.pem" -outform der -out "$dist/quillex-test.cer"

sign() { # IN OUT DIGEST [-nest]
    osslsigncode sign -certs "$keys/cert.pem" -key "$keys/key.pem" -h "$3" ${4:+"$4"} \
        -n "Quillex arcade stick filter" -in "$1" -out "$2" >/dev/null
}

sed -e "s|^DriverVer *=.*|DriverVer   = $date,$version|" windows/quillex.inf >"$dist/quillex.inf"
cp "$build/quillex.pdb" "$build/quillex_state.exe" "$dist/"
cp windows/INSTALL.md "$dist/"

# The catalog hashes the image as it is before signing: an image's own
# signature is outside its Authenticode hash.
/usr/bin/python3 windows/catalog/make_catalog.py "$build/quillex.unsigned.cat" "$build/quillex.sys" "$dist/quillex.inf"
sign "$build/quillex.unsigned.cat" "$dist/quillex.cat" sha1
sign "$build/quillex.sys" "$build/quillex.sha1.sys" sha1
sign "$build/quillex.sha1.sys" "$dist/quillex.sys" sha256 -nest
rm -f "$build/quillex.sha1.sys" "$build/quillex.unsigned.cat"

(cd dist && rm -f "$name.zip" && TZ=UTC zip -q -X -r "$name.zip" "$name")
scripts/verify-package.sh "$dist" "$keys/cert.pem"
echo "package: dist/$name.zip"
