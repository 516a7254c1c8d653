#!/usr/bin/env bash
# Two clean builds of the same sources, from different source and build directories, must give
# byte-identical executables (with the installer signer and its certificate, when given): the
# stub, and the release gate built with its pins, so that a release engineer who builds the
# shipped commit again gets the gate of the stub that was shipped.
set -euo pipefail
source_dir=$1
host=$2
signer=${3:-}
signer_cert=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
    local copy=$work/$1/vorn-installer
    mkdir -p "$copy"
    cp -r "$source_dir"/CMakeLists.txt "$source_dir"/CMakePresets.json "$source_dir"/cmake \
        "$source_dir"/src "$copy"/
    cmake -S "$copy" -B "$work/$1/out-$1" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF -DVORN_DOWNLOAD_HOST="$host" \
        -DVORN_INSTALLER_SIGNER="$signer" -DVORN_INSTALLER_SIGNER_CERT="$signer_cert" >/dev/null
    cmake --build "$work/$1/out-$1" --target vorn-installer vorn-installer-gate >/dev/null
}

build first
sleep 1  # a timestamp inside would now differ
build second-place
for exe in vorn-installer.exe vorn-installer-gate.exe; do
    a=$work/first/out-first/$exe
    b=$work/second-place/out-second-place/$exe
    sha256sum "$a" "$b"
    cmp "$a" "$b"
    echo "reproducible: $exe, $(stat -c %s "$a") bytes, identical"
done
