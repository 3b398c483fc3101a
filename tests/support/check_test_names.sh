#!/usr/bin/env bash
# Every test of a build tree is listed by ctest under a name that can be read
# and given back to ctest -R or --gtest_filter: letters, digits and "_./"
# (a parameterised case named by its name generator, gtest_discover_tests with
# NO_PRETTY_VALUES: never "# GetParam() = 88-byte object <E0-B6 ...>", which
# changes from run to run), and no name twice.
#   check_test_names.sh CTEST BUILD_DIR
set -euo pipefail
ctest=$1
build=$2
listing=$("$ctest" --test-dir "$build" -N)
names=$(sed -n 's/^ *Test *#[0-9]*: //p' <<<"$listing")
[ -n "$names" ] || { echo "ctest listed no tests in $build"; exit 1; }
status=0
bad=$(grep -v '^[A-Za-z0-9_./]*$' <<<"$names" || true)
if [ -n "$bad" ]; then
  echo "test names with other characters (a parameterised case without a name generator?):"
  echo "$bad"
  status=1
fi
twice=$(sort <<<"$names" | uniq -d)
if [ -n "$twice" ]; then
  echo "test names listed more than once:"
  echo "$twice"
  status=1
fi
echo "$(wc -l <<<"$names") test names checked"
exit $status
