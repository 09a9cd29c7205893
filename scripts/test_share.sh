#!/usr/bin/env bash
# Prints the size of the tests against the size of the code: non-blank, non-comment lines of
# tests/ (C, C++, Python, shell) against the .c/.cpp/.h files outside tests/ and bench/.
# The standing rule is a quarter to a third; no change may raise the share.
cd "$(dirname "$0")/.."
lines() { xargs -0 cat | grep -v -P '^\s*$|^\s*(//|/\*|\*|#(?!include|define|if|endif|else|pragma|!))' | wc -l; }
tests=$(git ls-files -z tests | grep -z -E '\.(c|cpp|h|py|sh)$' | lines)
code=$(git ls-files -z | grep -z -v -E '^(tests|bench)/' | grep -z -E '\.(c|cpp|h)$' | lines)
echo "tests $tests lines, code $code lines: $(( 100 * tests / code ))%"
