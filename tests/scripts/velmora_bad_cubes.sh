#!/usr/bin/env bash
# Malformed landscapes through every velmora.x command that reads a cube:
# wrong atom or voxel counts, values missing or beyond the grid, NaN, inf
# and 1e308 values, zero, tiny and collinear axes.  Each is refused with
# exit 1 and one line naming the file and the fault, and leaves no file;
# a landscape of another mobile ion is refused by the commands given one.
. "$(dirname "$0")/lib/velmora_checks.sh"

cp "$DATA/cif/Li2O.cif" .
run cube 0 --gen-cube Li2O.cif Li 1 0.7 0.2 t t li.cube
# The good landscape passes every command (the reference for the checks).
"$PY" - <<'EOF'
lines = open('li.cube', newline='').read().split('\r\n')
assert lines[-1] == ''
lines = lines[:-1]
head, atoms = lines[:6], int(lines[2].split()[0])
atom_lines, values = lines[6:6 + atoms], lines[6 + atoms:]
assert len(values) == 24 ** 3, len(values)

def write(name, h=None, a=None, v=None, count=None):
    h = list(head if h is None else h)
    a = atom_lines if a is None else a
    if count is not None:
        h[2] = '%4d' % count + h[2][4:]
    open(name, 'w', newline='').write('\r\n'.join(h + a + (values if v is None else v)) + '\r\n')

def axes(*rows):
    return head[:3] + ['%4s %11s %11s %11s' % r for r in rows]

write('atoms_zero.cube', count=0)
write('atoms_few.cube', count=atoms - 1)
write('atoms_many.cube', count=atoms + 1)
write('values_extra.cube', v=values + ['     1.000000'])
write('values_missing.cube', v=values[:-1])
write('grid_1x1x1.cube', h=axes(('1', '8.713536', '0', '0'), ('1', '0', '8.713536', '0'),
                                ('1', '0', '0', '8.713536')))
write('grid_23.cube', h=axes(('23', '0.363064', '0', '0'), tuple(head[4].split()),
                             tuple(head[5].split())))
write('value_nan.cube', v=values[:100] + ['nan'] + values[101:])
write('value_inf.cube', v=values[:100] + ['-inf'] + values[101:])
write('value_huge.cube', v=values[:100] + ['1e308'] + values[101:])
write('value_text.cube', v=values[:100] + ['abc'] + values[101:])
write('axis_zero.cube', h=axes(('24', '0', '0', '0'), tuple(head[4].split()),
                               tuple(head[5].split())))
write('axis_tiny.cube', h=axes(('24', '1e-30', '0', '0'), ('24', '0', '1e-30', '0'),
                               ('24', '0', '0', '1e-30')))
write('axis_collinear.cube', h=axes(tuple(head[3].split()), tuple(head[3].split()),
                                    tuple(head[5].split())))
write('count_fraction.cube', h=axes(('24.5', '0.363064', '0', '0'), tuple(head[4].split()),
                                    tuple(head[5].split())))
open('empty.cube', 'w').close()
open('header_only.cube', 'w', newline='').write('\r\n'.join(head[:4]) + '\r\n')
EOF
bad=(atoms_zero atoms_few atoms_many values_extra values_missing grid_1x1x1 grid_23 value_nan
     value_inf value_huge value_text axis_zero axis_tiny axis_collinear count_fraction empty
     header_only)
# Every command that reads a cube, with the cube in the place $c stands.
commands=("--print-cube \$c" "--fft \$c" "--fft-cubes \$c" "--fp-map \$c"
          "--gh Li2O.cif \$c Li 1" "--sites Li2O.cif \$c Li 1"
          "--kmc Li2O.cif \$c Li 1 1 1 1 -1 1500 0 200 -1")
for command in "${commands[@]}"; do
  c=li.cube
  eval "args=($command)"
  run "good${args[0]}" 0 "${args[@]}"
done
rm -f ./*.cif.* ./li.cube.*
before=$(ls | grep -v '\.out$' | grep -v '\.err$' | sort)
for b in "${bad[@]}"; do
  for command in "${commands[@]}"; do
    c=$b.cube
    eval "args=($command)"
    name="$b${args[0]}"
    run "$name" 1 "${args[@]}"
    grep -q "^Error: $b.cube is not a usable cube file: " "$name.err" ||
      fail "$name: no line naming the file ($(head -c 200 "$name.err"))"
  done
done
after=$(ls | grep -v '\.out$' | grep -v '\.err$' | sort)
[ "$before" = "$after" ] || fail "files written for malformed cubes: $(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')"
has empty--fft.err "it ends before line 3"
has values_extra--gh.err "holds more values than its 24 x 24 x 24 grid"
has atoms_zero--kmc.err "holds more values than"
has grid_23--kmc.err "holds more values than its 23 x 24 x 24 grid"
has value_huge--fft.err "lies beyond the +-1e+06 eV of any site energy"
has axis_tiny--fp-map.err "shorter than 1 A"
has axis_collinear--fft-cubes.err "lie in one plane or on one line"

# A landscape of Li+ is not one of Na+ or O2-.
for ion in "Na 1" "O -2"; do
  for command in --gh --sites; do
    run "ion$command${ion% *}" 1 $command Li2O.cif li.cube $ion
    has "ion$command${ion% *}.err" "Error: li.cube is the landscape of Li1+ (its header says so)"
  done
  run "ion--kmc${ion% *}" 1 --kmc Li2O.cif li.cube $ion 1 1 1
  has "ion--kmc${ion% *}.err" "is the landscape of Li1+"
done
# A lower-case element is the same ion.
run lower 0 --gh Li2O.cif li.cube li 1
finish
echo "velmora bad cubes: all passed"
