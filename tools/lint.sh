#!/usr/bin/env bash
# The code's lint: the C++ sources (core, tests, binding, bench, fuzzer) formatted as .clang-format
# says, the toolkit under python/ clean for flake8 (.flake8). Lists what is
# off and fails; `clang-format -i FILE` fixes the layout of a file.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
git ls-files -z 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'python/binding/*.cpp' 'bench/*.cpp' 'fuzz/*.cpp' |
  xargs -0 clang-format --dry-run --Werror || status=1
flake8 python/ || status=1
exit $status
