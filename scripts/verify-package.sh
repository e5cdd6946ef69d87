#!/usr/bin/env bash
# Verifies a package made by scripts/package.sh: the INF check, the signatures
# of quillex.sys and quillex.cat, and each catalog member against the catalog.
#   scripts/verify-package.sh DIST_DIR CA_CERT.pem
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$1 ca=$2
failed=0
fault() {
    echo "verify-package: FAULT $*"
    failed=1
}
for f in quillex.sys quillex.pdb quillex.inf quillex.cat quillex-test.cer INSTALL.md quillex_state.exe; do
    [[ -f $dist/$f ]] || fault "the package has no $f"
done
/usr/bin/python3 scripts/check-inf.py "$dist/quillex.inf" --package "$dist" || fault "the INF check failed"

verify() { # what, osslsigncode arguments...
    local what=$1 out
    shift
    if out=$(osslsigncode verify -CAfile "$ca" "$@" 2>&1) && grep -q '^Succeeded' <<<"$out"; then
        echo "verify-package: OK    $what"
    else
        echo "$out" | tail -5
        fault "$what"
    fi
}
verify "quillex.sys is signed" -in "$dist/quillex.sys"
digests=$(osslsigncode verify -CAfile "$ca" -in "$dist/quillex.sys" 2>&1 | grep -c 'Message digest algorithm *: *SHA\(1\|256\)' || true)
signatures=$(osslsigncode verify -CAfile "$ca" -in "$dist/quillex.sys" 2>&1 | sed -n 's/^Number of verified signatures: //p')
[[ $signatures == 2 ]] && echo "verify-package: OK    quillex.sys carries a SHA-1 and a nested SHA-256 signature ($digests digests)" ||
    fault "quillex.sys carries $signatures verified signatures, not 2 (SHA-1, nested SHA-256)"
verify "quillex.cat is signed" -in "$dist/quillex.cat"
verify "quillex.sys is a member of quillex.cat" -catalog "$dist/quillex.cat" -in "$dist/quillex.sys"
# osslsigncode takes no INF files: the catalog tool checks their entries.
/usr/bin/python3 windows/catalog/make_catalog.py --check "$dist/quillex.cat" "$dist/quillex.inf" ||
    fault "quillex.inf is not a member of quillex.cat"
/usr/bin/python3 scripts/check-pe.py "$dist/quillex.sys" --pdb "$dist/quillex.pdb" >/dev/null ||
    fault "the signed quillex.sys fails the PE check"
if ((failed)); then
    echo "verify-package: $dist fails verification"
    exit 1
fi
echo "verify-package: $dist verifies"
