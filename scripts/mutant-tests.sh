#!/usr/bin/env bash
# The test command for a mutation run: runs the test programs of the library
# whose source is changed in the working tree (the one mutant), all of them
# when the change is elsewhere. BUILD names the build folder (default build).
#   ../shared/tools/mutants --build build --test scripts/mutant-tests.sh --count 40 --seed 21 \
#       $(git ls-files 'Orvane/*.cpp' 'Tollan/*.cpp' 'Ovalith/*.cpp' 'Kestrane/*.cpp' 'tools/*.cpp')
set -u
build=${BUILD:-build}
changed=$(git diff --name-only)
programs=()
case "$changed" in
  Orvane/*) programs=(orvane_tests tollan_tests) ;;
  Tollan/*) programs=(tollan_tests) ;;
  Ovalith/*) programs=(ovalith_tests) ;;
  Kestrane/*) programs=(kestrane_tests) ;;
  tools/*) programs=(tool_tests) ;;
  *) programs=(orvane_tests tollan_tests ovalith_tests kestrane_tests tool_tests) ;;
esac
for program in "${programs[@]}"; do
  "$build/bin/$program" --gtest_brief=1 >/dev/null 2>&1 || exit 1
done
exit 0
