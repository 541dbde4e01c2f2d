#!/usr/bin/env bash
# Checks that the C++ files changed under src/, tests/ and bench/ are formatted as .clang-format says.
# usage: tools/check_format.sh [BASE]
# The changes are those since BASE, by default the merge base with origin/HEAD when that is an
# earlier commit than HEAD, else HEAD~1; uncommitted and new files count too. Without either base
# only the uncommitted changes are checked. Prints the files that are not formatted and exits 1 when
# there are any, 2 when it cannot check.
set -uo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$top" || exit 2
command -v clang-format >/dev/null || { echo "check_format: clang-format is not installed"; exit 2; }
git rev-parse --git-dir >/dev/null 2>&1 || { echo "check_format: $top is not a git work tree"; exit 2; }

base="${1:-}"
if [ -z "$base" ] && git rev-parse -q --verify HEAD >/dev/null; then
    head="$(git rev-parse HEAD)"
    if git rev-parse -q --verify origin/HEAD >/dev/null; then
        merge_base="$(git merge-base origin/HEAD HEAD 2>/dev/null)" || merge_base=
        [ -n "$merge_base" ] && [ "$merge_base" != "$head" ] && base="$merge_base"
    fi
    if [ -z "$base" ] && git rev-parse -q --verify HEAD~1 >/dev/null; then
        base="$(git rev-parse HEAD~1)"
    fi
fi
if [ -n "$base" ]; then
    git rev-parse -q --verify "$base^{commit}" >/dev/null || { echo "check_format: no commit $base"; exit 2; }
    compared_with="$base"
elif git rev-parse -q --verify HEAD >/dev/null; then
    compared_with=HEAD
else
    compared_with=
fi

# Changed files that still exist: committed since the base and uncommitted (against the work tree),
# and new files git does not ignore.
mapfile -t files < <(
    {
        [ -n "$compared_with" ] && git diff --name-only --diff-filter=d "$compared_with" -- src tests bench
        git ls-files --others --exclude-standard -- src tests bench
    } | grep -E '\.(cpp|cc|cxx|h|hh|hpp|hxx)$' | sort -u
)

echo "check_format: ${#files[@]} changed C++ file(s) since ${compared_with:-nothing}"
bad=()
for file in "${files[@]}"; do
    [ -f "$file" ] || continue
    clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || bad+=("$file")
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "check_format: not formatted as .clang-format says (run clang-format -i on them):"
    printf '  %s\n' "${bad[@]}"
    exit 1
fi
exit 0
