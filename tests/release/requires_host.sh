#!/usr/bin/env bash
# A Windows configure without a distribution host, or with one that is not a host name, must
# stop with a message that says what to set: a stub with a placeholder address is never built.
# A release configure without an installer signer must warn that installers start unchecked, and
# one with the signer's name alone that any certificate of that name passes; a certificate that
# is none, or that names another publisher than the name given beside it, stops it. Several
# certificates are pinned from one PEM file or a list, each subject printed, and a rename warned.
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

# The first lines of the two warnings (CMake wraps the rest): installers start unchecked; the
# signer's name alone is checked.
declare -A warnings=([unchecked]="VORN_INSTALLER_SIGNER is not set"
                     [name-only]="VORN_INSTALLER_SIGNER_CERT is not set"
                     [rename]="pins certificates with different common")
# expect_accepted NAME WARNING(unchecked|name-only|none) ARGS...: the configure succeeds, showing
# that warning and no other.
expect_accepted() {
    local name=$1 expected=$2 shown=none
    shift 2
    if ! configure "$name" "$@"; then
        echo "FAIL: configure $name was refused:"
        cat "$work/out-$name"
        failed=1
        return
    fi
    for warning in "${!warnings[@]}"; do
        if grep -q "${warnings[$warning]}" "$work/out-$name"; then
            [ "$shown" = none ] && shown=$warning || shown="$shown+$warning"
        fi
    done
    if [ "$shown" != "$expected" ]; then
        echo "FAIL: configure $name: warning expected: $expected, shown: $shown"
        cat "$work/out-$name"
        failed=1
    else
        echo "ok: $name accepted, warning shown: $shown"
    fi
}

# The publisher's certificate as signing tools write it (PEM), and as DER.
signer="星岚 \"Q\" \\ Ltd; x"
python3 "$source_dir/tests/fixtures/test_env.py" publisher-cert "$work/publisher.pem" \
    --common-name "$signer"
openssl x509 -in "$work/publisher.pem" -outform DER -out "$work/publisher.der"
echo "not a certificate" >"$work/garbage.pem"
host=-DVORN_DOWNLOAD_HOST=downloads.example.com

expect_accepted good unchecked -DVORN_DOWNLOAD_HOST=downloads.example.com:8443
expect_accepted with-signer name-only $host "-DVORN_INSTALLER_SIGNER=$signer"
expect_accepted with-certificate none $host "-DVORN_INSTALLER_SIGNER_CERT=$work/publisher.pem"
expect_accepted with-der-certificate none $host "-DVORN_INSTALLER_SIGNER_CERT=$work/publisher.der"
expect_accepted with-both none $host "-DVORN_INSTALLER_SIGNER=$signer" \
    "-DVORN_INSTALLER_SIGNER_CERT=$work/publisher.pem"
# Given both, they must name the same publisher; a certificate must be one.
expect_refusal both-disagree "VORN_INSTALLER_SIGNER and VORN_INSTALLER_SIGNER_CERT disagree" $host \
    "-DVORN_INSTALLER_SIGNER=星岚 Ltd" "-DVORN_INSTALLER_SIGNER_CERT=$work/publisher.pem"
expect_refusal certificate-garbage "VORN_INSTALLER_SIGNER_CERT is not a certificate" $host \
    "-DVORN_INSTALLER_SIGNER_CERT=$work/garbage.pem"
expect_refusal certificate-missing "VORN_INSTALLER_SIGNER_CERT does not exist" $host \
    "-DVORN_INSTALLER_SIGNER_CERT=$work/missing.pem"

# Several certificates, as a release pins the next one ahead of a renewal: in one PEM file, or as
# a list of files (PEM or DER). The configure names every subject it pins, and warns when their
# common names differ (a rename).
python3 "$source_dir/tests/fixtures/test_env.py" publisher-cert "$work/next.pem" \
    --common-name "$signer" --organisation "Xinglan Test Co., Ltd."
openssl x509 -in "$work/next.pem" -outform DER -out "$work/next.der"
python3 "$source_dir/tests/fixtures/test_env.py" publisher-cert "$work/renamed.pem" \
    --common-name "Xinglan Renamed Ltd"
cat "$work/publisher.pem" "$work/next.pem" >"$work/both.pem"
# expect_pinned NAME SUBJECT...: the configure NAME printed each subject (openssl's RFC 2253 form)
# as pinned, in order, and nothing more.
expect_pinned() {
    local name=$1
    shift
    local printed expected
    printed=$(sed -n 's/^-- Installer signer pinned: //p' "$work/out-$name")
    expected=$(printf '%s\n' "$@")
    if [ "$printed" != "$expected" ]; then
        echo "FAIL: configure $name pinned:"
        echo "$printed"
        echo "expected:"
        echo "$expected"
        failed=1
    else
        echo "ok: $name pinned $# subjects"
    fi
}
subject() { openssl x509 -in "$1" -noout -subject -nameopt RFC2253,-esc_msb,utf8 | sed 's/^subject=//'; }
first=$(subject "$work/publisher.pem")
next=$(subject "$work/next.pem")
renamed=$(subject "$work/renamed.pem")
expect_accepted two-in-one-pem none $host "-DVORN_INSTALLER_SIGNER_CERT=$work/both.pem"
expect_pinned two-in-one-pem "$first" "$next"
expect_accepted two-as-a-list none $host "-DVORN_INSTALLER_SIGNER_CERT=$work/publisher.pem;$work/next.der"
expect_pinned two-as-a-list "$first" "$next"
expect_accepted renamed rename $host "-DVORN_INSTALLER_SIGNER_CERT=$work/both.pem;$work/renamed.pem"
expect_pinned renamed "$first" "$next" "$renamed"
# With several, the name given must be the common name of one of them.
expect_accepted renamed-with-new-name rename $host "-DVORN_INSTALLER_SIGNER=Xinglan Renamed Ltd" \
    "-DVORN_INSTALLER_SIGNER_CERT=$work/publisher.pem;$work/renamed.pem"
expect_refusal renamed-other-name "VORN_INSTALLER_SIGNER and VORN_INSTALLER_SIGNER_CERT disagree" \
    $host "-DVORN_INSTALLER_SIGNER=星岚 Ltd" "-DVORN_INSTALLER_SIGNER_CERT=$work/both.pem;$work/renamed.pem"
expect_refusal list-with-garbage "VORN_INSTALLER_SIGNER_CERT is not a certificate" $host \
    "-DVORN_INSTALLER_SIGNER_CERT=$work/publisher.pem;$work/garbage.pem"
exit $failed
