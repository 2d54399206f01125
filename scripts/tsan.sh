#!/usr/bin/env bash
# Builds the tests that run threads against the store, signing, tokens and the
# bridge under ThreadSanitizer, into the folder given (default: build-tsan),
# and runs them: only those, so that the build stays small. Further arguments
# go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-tsan}
shift || true
targets=(platform_crypt_store_test platform_crypt_sign_message_test
         platform_crypt_token_store_test hosts_bridge_test)
# Each test with threads (or a program that runs them, the bridge's reader),
# and its run with the fast paths off (".plain").
tests='^(Stores\.Walks.*OnSeveralThreads'
tests+='|PreparedMessages\.ThreadsSigningAtOnce'
tests+='|TokenStore\.ThreadsSigning'
tests+='|BridgeConsentStore\.WritersInSeveralProcessesAndThreads'
tests+='|BridgeConsent\.OneQuestionAtATime'
tests+='|BridgeProcess\.(AnswersTheHandshake|RefusesWhatAPageMayNotAsk|EndsQuietly|TheScriptedUserAnswers|EndsPromptly)'
tests+=')'
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_WERROR=ON -DOSTREL_TSAN=ON \
  -DOSTREL_BUILD_BENCH=OFF -DOSTREL_CHECK_LAYERS=OFF \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "$@"
# (The layer check is the main build's; here it would build every object.)
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
# The sanitizer's fixed shadow layout may not fit the address space a newer
# kernel randomises ("unexpected memory mapping"): the tests then run without
# that randomisation, where the system lets a process ask for it. (The test
# programs are asked for their tests as ctest runs, not as they are built, so
# that this holds for that too.)
run=()
if setarch "$(uname -m)" -R true 2>/dev/null; then run=(setarch "$(uname -m)" -R); fi
"${run[@]}" ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" -R "$tests"
# Every test picked must have run: a name changed under the list above would
# otherwise leave it out without a word.
count=$("${run[@]}" ctest --test-dir "$dir" -N -R "$tests" | sed -n 's/^Total Tests: //p')
if [ "${count:-0}" -lt 15 ]; then
  echo "tsan.sh: only ${count:-0} tests matched the list" >&2
  exit 1
fi
