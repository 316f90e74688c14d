#!/usr/bin/env bash
# pkcs11-tool drives the token through the PKCS#11 library, on the library's
# built-in virtual card: what a user of the token meets.
#
#   examples/pkcs11_tool_tour.sh LIBRARY [CARD-FILE]
#       CARD-FILE defaults to out/pkcs11.card; a missing one is made
#       factory-fresh by the library, and the tour initialises it.
#
# Every command is printed before it runs. The tour leaves the card as it
# found it, apart from the first run's initialisation.
set -euo pipefail

library="$(realpath "$1")"
card="${2:-out/pkcs11.card}"
mkdir -p "$(dirname "$card")"
export KORVA_CARDS="$(realpath -m "$card")"
so_pin=87654321    # a factory-fresh card's SO PIN
user_pin=12345678  # the user PIN this tour sets
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

tool() {
  echo "\$ pkcs11-tool --module $library $*"
  pkcs11-tool --module "$library" "$@" 2>&1 | sed 's/^/    /'
  echo
}

echo "Card file: $KORVA_CARDS"
echo
tool --show-info
tool --list-slots
tool --list-mechanisms

if ! pkcs11-tool --module "$library" --list-token-slots 2>/dev/null | grep -q 'token initialized'; then
  tool --init-token --so-pin "$so_pin" --label "KORVA token"
  tool --init-pin --login --login-type so --so-pin "$so_pin" --new-pin "$user_pin"
fi
login=(--login --pin "$user_pin")

tool "${login[@]}" --keypairgen --key-type GOSTR3410-2012-256:A --id 7701 --label "tour key"
printf 'Signed on the KORVA token through its PKCS#11 library.\n' > "$work/message.txt"
tool "${login[@]}" --sign --id 7701 -m GOSTR3410-WITH-GOSTR3411-12-256 -i "$work/message.txt" -o "$work/signature.bin"
tool "${login[@]}" --verify --id 7701 -m GOSTR3410-WITH-GOSTR3411-12-256 -i "$work/message.txt" \
  --signature-file "$work/signature.bin"
tool --hash -m GOSTR3411-12-256 -i "$work/message.txt" -o "$work/digest.bin"
echo "GOST R 34.11-2012 digest: $(od -An -tx1 "$work/digest.bin" | tr -d ' \n')"
echo
tool --generate-random 16 -o "$work/random.bin"
echo "16 random bytes from the card: $(od -An -tx1 "$work/random.bin" | tr -d ' \n')"
echo
tool "${login[@]}" --list-objects
tool "${login[@]}" --delete-object --type privkey --id 7701
tool "${login[@]}" --delete-object --type pubkey --id 7701
