#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing, then configures,
# builds and tests every preset. The release build is made for a loopback test host, so the
# end-to-end tests run against the shipping configuration.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

# A loopback port that is free now, on 127.0.0.1 and on ::1 where the machine has it. The test
# host is compiled into the release build, so two runs of the suite on one machine must not share
# a port; below Linux's ephemeral range (32768-60999), client connections do not take it later.
free_loopback_port() {
    python3 -c '
import errno, random, socket, sys

def free(port):
    for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        try:
            s = socket.socket(family, socket.SOCK_STREAM)
        except OSError:
            continue  # no IPv6 here
        with s:
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            try:
                s.bind((address, port))
            except OSError as e:
                if family == socket.AF_INET6 and e.errno == errno.EADDRNOTAVAIL:
                    continue  # no ::1 here
                return False
    return True

for port in random.sample(range(20000, 32768), 200):
    if free(port):
        print(port)
        sys.exit(0)
sys.exit("test.sh: no free loopback port in 20000-32767")
'
}

if [ -n "${VORN_TEST_HOST:-}" ]; then
    test_host=$VORN_TEST_HOST
else
    test_host=localhost:$(free_loopback_port)
fi
echo "=== test host: $test_host"
# The release build checks its installer's signer: the end-to-end tests sign under this name.
test_signer="星岚测试 Publisher"
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
    -DVORN_E2E_TESTS=ON
echo "=== all presets done in $(( $(date +%s) - start )) s: $([ $status -eq 0 ] && echo PASSED || echo FAILED)"
exit $status
