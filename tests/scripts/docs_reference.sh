#!/usr/bin/env bash
# The command references of the manual are what the built programs print
# from their tables (velmora.x --help-all --markdown, ostrel --help-all
# --markdown), and they cover what the programs answer: the usage that every
# velmora.x command prints without its arguments stands in the reference
# word for word, every command of -h has its section, and every flag of the
# ostrel reference is one that ostrel takes.
set -u
: "${VELMORA:?}" "${OSTREL:?}" "${BV_SCRATCH:?}" "${BV_SOURCE_DIR:?}"
rm -rf "$BV_SCRATCH" && mkdir -p "$BV_SCRATCH" && cd "$BV_SCRATCH" || exit 1
fail=0
ref=$BV_SOURCE_DIR/docs/reference

current() {  # program, reference file
  "$1" --help-all --markdown >generated.md 2>err.txt || { echo "FAIL: $1 --help-all --markdown"; fail=1; }
  if ! cmp -s generated.md "$2"; then
    echo "FAIL: $2 is not what the program prints; regenerate it with"
    echo "  bin/$(basename "$1") --help-all --markdown > docs/reference/$(basename "$2")"
    diff -u "$2" generated.md | head -40
    fail=1
  fi
}
current "$VELMORA" "$ref/velmora.md"
current "$OSTREL" "$ref/ostrel.md"

# Every velmora.x command of the reference, run without arguments: what it
# prints as its usage is in the reference as printed (status 2); one that
# needs no argument succeeds.
PYTHON=${PYTHON:-/usr/bin/python3}
commands=$(sed -n 's/^### `\(-[^`]*\)`$/\1/p' "$ref/velmora.md")
[ "$(printf '%s\n' $commands | wc -l)" -gt 40 ] || { echo "FAIL: too few command sections"; fail=1; }
for c in $commands; do
  "$VELMORA" "$c" >usage.txt 2>usage.err; rc=$?
  case $rc in
    0) ;;
    2) if [ -s usage.txt ]; then
         "$PYTHON" -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' \
           usage.txt "$ref/velmora.md" || { echo "FAIL: the usage of $c is not in the reference"; fail=1; }
       else
         grep -q "^Error: not enough arguments.$" usage.err \
           && grep -q 'it prints "Error: not enough arguments."' "$ref/velmora.md" \
           || { echo "FAIL: $c without arguments"; cat usage.err; fail=1; }
       fi ;;
    *) echo "FAIL: $c without arguments ends with status $rc"; fail=1 ;;
  esac
done
"$VELMORA" -h >help.txt
for c in $(sed -n 's/^Message:   \(--[a-z0-9-]*\) .*/\1/p' help.txt); do
  printf '%s\n' $commands | grep -qx -- "$c" || { echo "FAIL: $c of -h has no section"; fail=1; }
done

# Every flag of the ostrel reference is taken (no "Unknown word" warning),
# and every flag that -h lists is in the reference.
flags=$(sed -n 's/^| `\(--[a-z-]*\)` .*/\1/p' "$ref/ostrel.md")
[ "$(printf '%s\n' $flags | wc -l)" -gt 20 ] || { echo "FAIL: too few flags in the reference"; fail=1; }
for f in $flags; do
  "$OSTREL" "$f" x </dev/null >/dev/null 2>flag.err
  grep -q "Unknown word $f " flag.err && { echo "FAIL: ostrel does not take $f"; fail=1; }
done
"$OSTREL" -h >help.txt
for f in $(sed -n 's/^  \(--[a-z-]*\).*/\1/p' help.txt); do
  grep -q "^| \`$f\`" "$ref/ostrel.md" || { echo "FAIL: $f of -h is not in the reference"; fail=1; }
done
exit $fail
