# alnforge flags: a flag value by number, by names, and an argument it cannot read (which
# brings the usage text).
echo "== alnforge flags"
for arg in 99 0x63 REVERSE,SECONDARY NOSUCHFLAG; do
  show alnforge flags "$arg"
done
