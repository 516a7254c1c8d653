#!/usr/bin/env bash
# A Windows configure without a distribution host, or with one that is not a host name, must
# stop with a message that says what to set: a stub with a placeholder address is never built.
# A release configure without an installer signer must warn that installers start unchecked.
set -uo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

configure() {
    cmake -S "$source_dir" -B "$work/build-$1" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF "${@:2}" >"$work/out-$1" 2>&1
}

failed=0
expect_refusal() {
    local name=$1 pattern=$2
    shift 2
    if configure "$name" "$@"; then
        echo "FAIL: configure $name succeeded"
        failed=1
    elif ! grep -q "$pattern" "$work/out-$name"; then
        echo "FAIL: configure $name failed without saying '$pattern':"
        cat "$work/out-$name"
        failed=1
    else
        echo "ok: $name refused"
    fi
}

expect_refusal no-host "VORN_DOWNLOAD_HOST is not set"
expect_refusal with-path "is not a host name" -DVORN_DOWNLOAD_HOST=example.com/evil
expect_refusal with-quote "is not a host name" '-DVORN_DOWNLOAD_HOST=a"b'
expect_refusal signer-newline "VORN_INSTALLER_SIGNER holds a control character" \
    -DVORN_DOWNLOAD_HOST=downloads.example.com "-DVORN_INSTALLER_SIGNER=$(printf 'a\nb')"

unchecked="VORN_INSTALLER_SIGNER is not set"  # the first line of the warning: CMake wraps the rest
# expect_accepted NAME WARNS(yes|no) ARGS...: the configure succeeds, with or without the warning.
expect_accepted() {
    local name=$1 warns=$2 warned=no
    shift 2
    if ! configure "$name" "$@"; then
        echo "FAIL: configure $name was refused:"
        cat "$work/out-$name"
        failed=1
        return
    fi
    grep -q "$unchecked" "$work/out-$name" && warned=yes
    if [ "$warned" != "$warns" ]; then
        echo "FAIL: configure $name: the warning '$unchecked' expected: $warns, shown: $warned"
        failed=1
    else
        echo "ok: $name accepted, warning shown: $warned"
    fi
}

expect_accepted good yes -DVORN_DOWNLOAD_HOST=downloads.example.com:8443
expect_accepted with-signer no -DVORN_DOWNLOAD_HOST=downloads.example.com \
    '-DVORN_INSTALLER_SIGNER=星岚 "Q" \ Ltd; x'
exit $failed
