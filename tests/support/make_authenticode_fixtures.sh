#!/usr/bin/env bash
# Makes the Authenticode test files in OUTPUT_DIRECTORY (created if needed):
#
#   test-root-ca.pem  root CA certificate of the test PKI; trust it by pointing
#                     OpenSSL at it (SSL_CERT_FILE) for the native verifier
#   signed.exe        a minimal PE32+ image signed by a code-signing leaf
#                     certificate issued by that root
#   unsigned.exe      the same image, never signed
#   tampered.exe      signed.exe with one byte of its code changed afterwards
#   untrusted.exe     the image signed by a leaf of a second root that is
#                     never trusted
#   not-pe.exe        a text file
#   test-signing-key.pem, test-signing-chain.pem
#                     the trusted leaf's key and certificate chain, for
#                     signing built test programs with osslsigncode
#
# Needs bash, openssl and osslsigncode. The native tests run it at test time;
# the Windows build runs it on the build host, because a Windows test process
# under Wine cannot start these Linux programs.
#
# Usage: make_authenticode_fixtures.sh OUTPUT_DIRECTORY
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUTPUT_DIRECTORY" >&2
    exit 2
fi
out=$1
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/authenticode-fixtures.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- A minimal PE32+ image: headers (0x200 bytes) and one .text section of
# 0x200 bytes holding "xor eax, eax; ret". Nothing imported, never run.
le16() { printf "\\x$(printf %02x $(($1 & 0xff)))\\x$(printf %02x $((($1 >> 8) & 0xff)))"; }
le32() { le16 $(($1 & 0xffff)); le16 $((($1 >> 16) & 0xffff)); }
le64() { le32 $(($1 & 0xffffffff)); le32 $((($1 >> 32) & 0xffffffff)); }
zeros() { head -c "$1" /dev/zero; }
{
    # DOS header: "MZ", the PE header at 0x40.
    printf 'MZ'; zeros 58; le32 0x40
    # PE signature and COFF header: x86-64, one section, 240-byte optional
    # header, executable image with large addresses.
    printf 'PE\0\0'; le16 0x8664; le16 1; le32 0; le32 0; le32 0; le16 240; le16 0x0022
    # Optional header (PE32+).
    le16 0x20b; printf '\x0e\x00'            # magic, linker version
    le32 0x200; le32 0; le32 0               # code, initialised, uninitialised sizes
    le32 0x1000; le32 0x1000                 # entry point, base of code
    le64 0x140000000                         # image base
    le32 0x1000; le32 0x200                  # section and file alignment
    le16 6; le16 0; le16 0; le16 0; le16 6; le16 0  # OS, image, subsystem versions
    le32 0                                   # Win32VersionValue
    le32 0x2000; le32 0x200                  # size of image, size of headers
    le32 0                                   # checksum
    le16 3; le16 0                           # console subsystem, DLL characteristics
    le64 0x100000; le64 0x1000; le64 0x100000; le64 0x1000  # stack and heap
    le32 0; le32 16                          # loader flags, 16 data directories
    zeros 128                                # data directories, all empty
    # Section table: .text at RVA 0x1000, file offset 0x200, code|execute|read.
    printf '.text\0\0\0'; le32 0x10; le32 0x1000; le32 0x200; le32 0x200
    le32 0; le32 0; le16 0; le16 0; le32 0x60000020
} > "$work/image.exe"
headers=$(stat -c %s "$work/image.exe")
zeros $((0x200 - headers)) >> "$work/image.exe"
{ printf '\x31\xc0\xc3'; zeros $((0x200 - 3)); } >> "$work/image.exe"

# --- Test PKI: two independent roots, each with a code-signing leaf.
make_root() {  # name
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "/CN=Tessaryndle Test Root $1" \
        -keyout "$work/$1-root.key" -out "$work/$1-root.pem" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
make_leaf() {  # name
    openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=Tessaryndle Test Code Signing $1" \
        -keyout "$work/$1-leaf.key" -out "$work/$1-leaf.csr" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' \
        > "$work/$1-leaf.ext"
    openssl x509 -req -sha256 -days 3650 -in "$work/$1-leaf.csr" -CA "$work/$1-root.pem" \
        -CAkey "$work/$1-root.key" -CAcreateserial -extfile "$work/$1-leaf.ext" -out "$work/$1-leaf.pem" 2>/dev/null
}
sign() {  # name input output
    cat "$work/$1-leaf.pem" "$work/$1-root.pem" > "$work/$1-chain.pem"
    rm -f "$3"
    osslsigncode sign -certs "$work/$1-chain.pem" -key "$work/$1-leaf.key" -h sha256 -n "Tessaryndle test" \
        -in "$2" -out "$3" > /dev/null
}
for name in trusted untrusted; do
    make_root "$name"
    make_leaf "$name"
done

cp "$work/trusted-root.pem" "$out/test-root-ca.pem"
cp "$work/image.exe" "$out/unsigned.exe"
sign trusted "$work/image.exe" "$out/signed.exe"
sign untrusted "$work/image.exe" "$out/untrusted.exe"
# Change the first byte of the code (file offset 0x200) after signing.
cp "$out/signed.exe" "$out/tampered.exe"
printf '\x90' | dd of="$out/tampered.exe" bs=1 seek=$((0x200)) conv=notrunc status=none
printf 'This is not a program.\n' > "$out/not-pe.exe"
cp "$work/trusted-leaf.key" "$out/test-signing-key.pem"
cat "$work/trusted-leaf.pem" "$work/trusted-root.pem" > "$out/test-signing-chain.pem"
