#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing, then configures,
# builds and tests every preset. The release build is made for a loopback test host, so the
# end-to-end tests run against the shipping configuration.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

# The test host is compiled into the release build, so two runs of the suite on one machine must
# not share a port: tools/free_loopback_port.py finds one that is free now.
if [ -n "${VORN_TEST_HOST:-}" ]; then
    test_host=$VORN_TEST_HOST
else
    test_host=localhost:$(python3 tools/free_loopback_port.py)
fi
echo "=== test host: $test_host"
# The release build checks its installer's signer as shipped: the whole subject of the
# publisher's certificate, here a throwaway one for this name, made once. The
# end-to-end tests sign with new keys under that subject, and under others.
test_signer="星岚测试 Publisher"
test_signer_cert=build/test-publisher.pem
mkdir -p build
[ -f "$test_signer_cert" ] || python3 tests/fixtures/test_env.py publisher-cert "$test_signer_cert" \
    --common-name "$test_signer"
status=0
run_preset() {
    local preset=$1
    shift
    echo "=== $preset"
    cmake --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" || status=1
}

start=$(date +%s)
run_preset host
run_preset windows-debug -DVORN_E2E_TESTS=OFF
run_preset windows-release -DVORN_DOWNLOAD_HOST="$test_host" -DVORN_INSTALLER_SIGNER="$test_signer" \
    -DVORN_INSTALLER_SIGNER_CERT="$PWD/$test_signer_cert" -DVORN_E2E_TESTS=ON
echo "=== all presets done in $(( $(date +%s) - start )) s: $([ $status -eq 0 ] && echo PASSED || echo FAILED)"
exit $status
