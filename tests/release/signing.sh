#!/usr/bin/env bash
# A build given a certificate comes out Authenticode-signed, still with its manifest as its one
# resource, and the package step puts it beside a matching SHA-256 file.
set -euo pipefail
source_dir=$1
host=$2
checks=$(cd "$(dirname "$0")" && pwd)  # check_exe.py reads the resources
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=vorn test root" \
    -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=vorn test signer" \
    -keyout signer.key -out signer.csr 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n' > ext.cnf
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile ext.cnf -out signer.pem 2>/dev/null

cmake -S "$source_dir" -B build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF -DVORN_DOWNLOAD_HOST="$host" \
    -DVORN_SIGN_CERT="$work/signer.pem" -DVORN_SIGN_KEY="$work/signer.key" >/dev/null
cmake --build build >/dev/null
cmake --install build --prefix package >/dev/null

osslsigncode verify -CAfile ca.pem -in package/vorn-installer.exe | tee verify.txt
grep -q "Signature verification: ok" verify.txt
# Still the one resource, the manifest: the signature is a certificate table, not a resource.
PYTHONPATH=$checks python3 - package/vorn-installer.exe <<'PYTHON'
import sys
from check_exe import resources
with open(sys.argv[1], "rb") as exe:
    found = [(kind, name) for kind, name, _, _ in resources(exe.read())]
if found != [(24, 1)]:
    sys.exit(f"the signed exe's resources changed: {found}")
PYTHON
(cd package && sha256sum -c vorn-installer.exe.sha256)
echo "signed: $(stat -c %s package/vorn-installer.exe) bytes"
