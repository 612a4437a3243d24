#!/usr/bin/env python3
"""Keeps the README's C examples and the output it shows for them true.

    readme_examples.py README.md --write          copy each examples/*.c into its README block
    readme_examples.py README.md --check          fail if a README block differs from its file
    readme_examples.py README.md --run DIR        run every transcript in DIR and compare

In the README, a C block preceded by the line `<!-- example: examples/NAME.c -->` holds that
file verbatim, and a plain block preceded by `<!-- transcript -->` is a shell session: each
line starting with "$ " is a command run with bash in DIR (standard error merged into standard
output) and the lines after it, up to the next command, are its expected output.
"""
import re
import subprocess
import sys
from pathlib import Path

MARK = re.compile(r"^<!-- (example: (\S+)|transcript) -->\n```[a-z]*\n(.*?)^```\n", re.M | re.S)


def blocks(text):
    for m in MARK.finditer(text):
        yield m, m.group(2), m.group(3)


def write(readme, root):
    text = readme.read_text()
    out, last = [], 0
    for m, path, _ in blocks(text):
        if path:
            body = (root / path).read_text()
            out.append(text[last:m.start(3)] + body)
            last = m.end(3)
    out.append(text[last:])
    readme.write_text("".join(out))


def check(readme, root):
    bad, seen = 0, set()
    for _, path, body in blocks(readme.read_text()):
        if path:
            seen.add(path)
            if body != (root / path).read_text():
                print(f"README.md: the block for {path} differs from the file "
                      f"(run tests/examples/readme_examples.py README.md --write)")
                bad += 1
    for f in sorted((root / "examples").glob("*.c")):
        rel = f"examples/{f.name}"
        if rel not in seen:
            print(f"README.md: {rel} is not shown")
            bad += 1
    return bad


def run(readme, workdir):
    bad = runs = 0
    for _, path, body in blocks(readme.read_text()):
        if path:
            continue
        steps = re.split(r"^\$ ", body, flags=re.M)[1:]
        for step in steps:
            cmd, _, expected = step.partition("\n")
            got = subprocess.run(["bash", "-c", "exec 2>&1\n" + cmd], cwd=workdir, text=True,
                                 stdout=subprocess.PIPE).stdout
            runs += 1
            if got != expected:
                print(f"README.md: `{cmd}` printed:\n{got}--- but the README shows:\n{expected}---")
                bad += 1
    if runs == 0:
        print("README.md: no transcript found")
        bad += 1
    else:
        print(f"transcripts: {runs - bad} passed, {bad} failed")
    return bad


def main():
    readme = Path(sys.argv[1]).resolve()
    root = readme.parent
    mode = sys.argv[2] if len(sys.argv) > 2 else "--check"
    if mode == "--write":
        write(readme, root)
        return 0
    if mode == "--run":
        return 1 if run(readme, sys.argv[3]) else 0
    return 1 if check(readme, root) else 0


if __name__ == "__main__":
    sys.exit(main())
