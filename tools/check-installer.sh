#!/usr/bin/env bash
# usage: tools/check-installer.sh [options] INSTALLER
#
# The release gate: will the stubs of this build start INSTALLER? Runs vorn-installer-gate.exe,
# built beside the stub with the stub's own check and pins, under wine, on the file, and prints
# what it says: "passes" (exit 0) or the refusal the user would see in the stub's error box
# (exit 1). Exit 2: no verdict (a wrong command line, no gate built, wine failed or timed out).
# Warnings for the release engineer (the signer's certificate expiring soon, no timestamp) go to
# stderr and never change the verdict. The file is only read, never changed or deleted.
#
#   --build DIR        the build whose stubs are shipped (default: build/windows-release); its
#                      vorn-installer-gate.exe carries their pins
#   --prefix DIR       the wine prefix to judge in: its root store decides which roots are
#                      trusted. Default: a new one of the gate's own, removed afterwards
#   --trust-root CERT  trust CERT (PEM or DER) as a root in the prefix first, as the test CAs are
#                      trusted in the tests' prefix (repeatable; stays in a --prefix given)
#   --timeout S        bound for each wine step, in seconds (default: 300)
set -u

usage() {
    sed -n '2,18s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

die() {
    echo "check-installer: $*" >&2
    exit 2
}

here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build/windows-release
prefix=""
roots=()
limit=300
installer=""
while [ $# -gt 0 ]; do
    case $1 in
        --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
        --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
        --trust-root) [ $# -ge 2 ] || usage; roots+=("$2"); shift 2 ;;
        --timeout) [ $# -ge 2 ] || usage; limit=$2; shift 2 ;;
        -h | --help) usage ;;
        -*) echo "check-installer: unknown option $1" >&2; usage ;;
        *) [ -z "$installer" ] || usage; installer=$1; shift ;;
    esac
done
[ -n "$installer" ] || usage
case $limit in '' | *[!0-9]*) die "--timeout takes whole seconds, not '$limit'" ;; esac
[ -f "$installer" ] || die "$installer is not a file"
command -v wine >/dev/null || die "wine is not installed (bash tools/setup.sh)"
gate=$build/vorn-installer-gate.exe
add_root=$build/add_root_cert.exe
[ -f "$gate" ] || die "$gate does not exist: build the release first (cmake --build $build)"
[ ${#roots[@]} -eq 0 ] || [ -f "$add_root" ] || die "$add_root does not exist: build it first"
for root in "${roots[@]}"; do
    [ -f "$root" ] || die "--trust-root $root is not a file"
done

# A Linux path as wine sees it: through drive Z:, which every prefix maps to /.
windows_path() {
    local absolute
    absolute=$(realpath -e "$1") || return 1
    printf 'Z:%s' "${absolute//\//\\}"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-gate.XXXXXX") || die "cannot make a work folder"
own_prefix=false
if [ -z "$prefix" ]; then
    prefix=$work/prefix
    own_prefix=true
fi
export WINEPREFIX
WINEPREFIX=$(realpath -m "$prefix")
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no mono or gecko install prompts
cleanup() {
    # Only a prefix of our own: its wineserver, and so every process in it, is ours.
    if $own_prefix; then
        timeout 30 wineserver -k >/dev/null 2>&1
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 2' INT TERM HUP

# wine's output goes to files, read once it is done: wine's helper processes inherit its
# descriptors and outlive it, and a pipe they kept open would hang this script.
out=$work/out
err=$work/err
run_wine() {
    timeout --kill-after=5 "$limit" wine "$@" </dev/null >"$out" 2>"$err"
}
wine_failed() {
    local status=$1 what=$2
    cat "$err" >&2
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        die "$what did not finish within $limit s"
    fi
    die "$what failed (exit $status)"
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    run_wine wineboot -i || wine_failed $? "wineboot -i (a new prefix in $WINEPREFIX)"
fi
for root in "${roots[@]}"; do
    run_wine "$add_root" "$(windows_path "$root")" || wine_failed $? "trusting $root"
done

run_wine "$gate" "$(windows_path "$installer")"
status=$?
cat "$out"
cat "$err" >&2
case $status in
    0 | 1 | 2) exit $status ;;
    124 | 137) die "the gate did not finish within $limit s" ;;
    *) die "the gate did not run (exit $status)" ;;
esac
