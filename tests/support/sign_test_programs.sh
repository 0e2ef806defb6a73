#!/usr/bin/env bash
# Signs built programs with a test PKI, for the end-to-end tests and the demo:
#
#   sign_test_programs.sh OUTPUT_DIRECTORY PROGRAM...
#
# Makes a fresh test PKI in OUTPUT_DIRECTORY/pki (make_authenticode_fixtures.sh;
# its test-root-ca.pem is the root to trust) and writes a signed copy of each
# PROGRAM into OUTPUT_DIRECTORY under the same name:
#   - a Windows program (PE) gets an Authenticode signature (osslsigncode);
#   - a native program (ELF) gets a detached PKCS#7 signature appended the way
#     Linux kernel modules carry theirs: signature, a 12-byte record (id type 2
#     = PKCS#7, signature length big-endian) and "~Module signature appended~\n".
# The copies appear under their names only when complete. TEST KEYS ONLY.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 OUTPUT_DIRECTORY PROGRAM..." >&2
    exit 2
fi
out=$1
shift
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$out"
bash "$here/make_authenticode_fixtures.sh" "$out/pki"
pki=$out/pki

for program in "$@"; do
    name=$(basename -- "$program")
    part="$out/.$name.part"
    rm -f "$part"
    if [[ $(head -c 2 "$program") == MZ ]]; then
        osslsigncode sign -certs "$pki/test-signing-chain.pem" -key "$pki/test-signing-key.pem" -h sha256 \
            -n "Tessaryndle test build" -in "$program" -out "$part" > /dev/null
    else
        cp "$program" "$part"
        openssl smime -sign -binary -noattr -nosmimecap -outform DER -md sha256 -in "$program" \
            -signer "$pki/test-signing-chain.pem" -inkey "$pki/test-signing-key.pem" -certfile "$pki/test-root-ca.pem" \
            -out "$part.p7s"
        length=$(stat -c %s "$part.p7s")
        cat "$part.p7s" >> "$part"
        printf '\x00\x00\x02\x00\x00\x00\x00\x00' >> "$part"
        printf "\\x$(printf %02x $(((length >> 24) & 255)))\\x$(printf %02x $(((length >> 16) & 255)))" >> "$part"
        printf "\\x$(printf %02x $(((length >> 8) & 255)))\\x$(printf %02x $((length & 255)))" >> "$part"
        printf '~Module signature appended~\n' >> "$part"
        rm -f "$part.p7s"
        chmod 755 "$part"
    fi
    mv -f "$part" "$out/$name"
done
