#!/usr/bin/env bash
# Builds the datagram fuzzer (decoding, filtering, trimming and header
# parsing) with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs it for the given number of seconds.
# Usage: scripts/fuzz.sh [seconds]   (default 60)
# The corpus is kept in build-fuzz/corpus/datagram between runs; an input
# that breaks an invariant or crashes is saved in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

DURATION="${1:-60}"
if ! [[ "$DURATION" =~ ^[1-9][0-9]*$ ]]; then
  echo "Usage: scripts/fuzz.sh [seconds]  (a whole number of seconds, default 60)" >&2
  exit 2
fi

bash scripts/install-deps.sh

missing=()
for pkg in clang libclang-rt-dev; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

BUILD=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIV_FUZZ=ON -DKIV_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target datagram-fuzzer -j"$(nproc)"

CORPUS="$BUILD/corpus/datagram"
ARTIFACTS="$BUILD/artifacts"
mkdir -p "$CORPUS" "$ARTIFACTS"
if [ -z "$(ls -A "$CORPUS")" ]; then
  printf '<13>host info: link up' >"$CORPUS/seed-info"
  printf '<11>sw1 error \xb6\xcb\xbf\xda\xc1\xb4\xc2\xb7\xd6\xd0\xb6\xcf' >"$CORPUS/seed-gb18030"
  printf '<12>host warning \xe6\x8e\xa5\xe5\x8f\xa3 \x00 tail\r\n' >"$CORPUS/seed-utf8-nul"
  printf '<28>1 2026-12-07T18:40:46.303813+00:00 vm app 9 ID47 [a@1 b="\\"q\\]"][c d="e"] \xef\xbb\xbfwarning\n' >"$CORPUS/seed-rfc5424"
  printf '<189>27: 000023: router1: *Mar  1 00:00:00.000 UTC: %%LINK-3-UPDOWN: info' >"$CORPUS/seed-cisco"
  printf '<13>Dec  7 2026 12:00:00 host app[12]: info' >"$CORPUS/seed-rfc3164"
fi

echo "Fuzzing datagram decoding, filtering, trimming and header parsing for $DURATION s"
"$BUILD/bin/datagram-fuzzer" -max_total_time="$DURATION" -max_len=70000 -timeout=10 \
  -dict=tests/fuzz/datagram.dict -print_final_stats=1 -artifact_prefix="$ARTIFACTS/" "$CORPUS"
