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
viewer=0
case "$changed" in
  Orvane/*) programs=(orvane_tests tollan_tests) ;;
  Tollan/*) programs=(tollan_tests) ;;
  Ovalith/*) programs=(ovalith_tests) ;;
  Kestrane/*) programs=(kestrane_tests) ;;
  tools/ovalith/view/*) programs=(tool_tests) viewer=1 ;;
  tools/*) programs=(tool_tests) ;;
  *) programs=(orvane_tests tollan_tests ovalith_tests kestrane_tests tool_tests) ;;
esac
for program in "${programs[@]}"; do
  "$build/bin/$program" --gtest_brief=1 >/dev/null 2>&1 || exit 1
done
# The viewer's server and page tests (ctest: ViewerServer, ViewerBrowser).
if [ "$viewer" = 1 ]; then
  ctest --test-dir "$build" -R Viewer >/dev/null 2>&1 || exit 1
fi
exit 0
