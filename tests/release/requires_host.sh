#!/usr/bin/env bash
# A Windows configure without a distribution host, or with one that is not a host name, must
# stop with a message that says what to set: a stub with a placeholder address is never built.
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
if configure good -DVORN_DOWNLOAD_HOST=downloads.example.com:8443; then
    echo "ok: a host with a port is accepted"
else
    echo "FAIL: a valid host was refused:"
    cat "$work/out-good"
    failed=1
fi
exit $failed
