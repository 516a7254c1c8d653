#!/usr/bin/env bash
# The benchmark in one command: what the stub costs against the best the platform can do, under
# wine on this machine (bench/bench.py says what and how). Installs what it needs, builds the stub
# and the benchmark's programs in build/bench, runs every measurement and writes
# build/bench/results/benchmark.md (the table), benchmark.png (the chart) and results.json.
#
#   bash tools/bench.sh [--quick] [--docs] [--rounds N] [--only MEASUREMENT ...]
#                       [--max-load CORES] [--wait-budget S]
#
#   --quick   small sizes, two rounds, no waiting for a quiet machine, no verdicts (a few
#             minutes; the test suite runs it too); results in build/bench/quick
#   --docs    afterwards, copies the table and the chart to docs/ (a full run on a quiet machine,
#             every measurement: not with --only or --rounds)
# The other options are bench.py's. VORN_BENCH_HOST=localhost:PORT chooses the port compiled in.
set -euo pipefail
cd "$(dirname "$0")/.."

docs=0
partial=0
out=build/bench/results
args=()
for arg in "$@"; do
    case $arg in
        --docs) docs=1 ;;
        --quick) out=build/bench/quick; args+=("$arg") ;;
        --only|--rounds) partial=1; args+=("$arg") ;;
        *) args+=("$arg") ;;
    esac
done
if [ $docs -eq 1 ] && { [ "$out" = build/bench/quick ] || [ $partial -eq 1 ]; }; then
    echo "bench.sh: --docs takes a full run: not --quick, --only or --rounds" >&2
    exit 2
fi

bash tools/setup.sh
build=build/bench
signer="星岚基准 Bench Publisher"
# The host is compiled into the stub: keep the build's port while it is free, else take another.
host=${VORN_BENCH_HOST:-}
if [ -z "$host" ] && [ -f $build/CMakeCache.txt ]; then
    host=$(sed -n 's/^VORN_DOWNLOAD_HOST:STRING=//p' $build/CMakeCache.txt)
    python3 tools/free_loopback_port.py --check "${host##*:}" || host=""
fi
[ -n "$host" ] || host=localhost:$(python3 tools/free_loopback_port.py)

# The stub pins the whole subject of the publisher's certificate, as shipped: a throwaway one here.
signer_cert=$build/publisher.pem
mkdir -p $build
[ -f $signer_cert ] || python3 tests/fixtures/test_env.py publisher-cert $signer_cert \
    --common-name "$signer"
echo "=== building for https://$host, installer signer \"$signer\""
toolchain=()  # given again to a configured build, CMake would warn that it is unused
[ -f $build/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
cmake -S . -B $build -G Ninja "${toolchain[@]}" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DVORN_DOWNLOAD_HOST="$host" -DVORN_INSTALLER_SIGNER="$signer" \
    -DVORN_INSTALLER_SIGNER_CERT="$PWD/$signer_cert" -DVORN_E2E_TESTS=ON >/dev/null
cmake --build $build --target bench_programs
mapfile -t bench_args <$build/bench-args.txt

echo "=== benchmark"
python3 bench/bench.py "${bench_args[@]}" --out "$out" "${args[@]}"
if [ $docs -eq 1 ]; then
    cp "$out/benchmark.md" "$out/benchmark.png" docs/
    echo "=== docs/benchmark.md and docs/benchmark.png updated"
fi
