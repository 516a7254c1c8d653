#!/usr/bin/env bash
# The main job: build the stub for a loopback distribution server, serve it a demo installer,
# run it under wine and report what happened. Options: see tools/demo.py --help.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
port=${VORN_DEMO_PORT:-48444}
build=build/demo
# The stub starts only an installer signed with this publisher's whole subject, pinned from its
# certificate as a release pins it (here a throwaway one); the demo signs its installer so.
signer="星岚演示发行商 Demo Publisher"
signer_cert=$build/publisher.pem
# Refuse a wrong option before the build, not after.
python3 tools/demo.py --build "$build" --port "$port" --signer "$signer" --check "$@"

mkdir -p "$build"
[ -f "$signer_cert" ] || python3 tests/fixtures/test_env.py publisher-cert "$signer_cert" \
    --common-name "$signer"
echo "building vorn-installer.exe for https://localhost:$port, installer signer \"$signer\" ..."
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DVORN_DOWNLOAD_HOST="localhost:$port" \
    -DVORN_INSTALLER_SIGNER_CERT="$PWD/$signer_cert" >/dev/null
cmake --build "$build" --target vorn-installer e2e_driver stand_in_installer add_root_cert has_font
exec python3 tools/demo.py --build "$build" --port "$port" --signer "$signer" \
    --signer-cert "$signer_cert" "$@"
