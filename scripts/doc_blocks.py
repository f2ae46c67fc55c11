"""Runs the code blocks of README.md and docs/*.md, so that the docs keep working.

A block is complete, and is run, when it is a whole program: a ```c block that
defines `int main`, a ```python block that imports something (run after the
complete Python blocks above it on the same page, whose names it may use).
Anything else is a fragment (a signature, a few lines out of a program) and is
only counted.
A doc writer who wants a complete-looking block left alone puts the line
`<!-- fragment -->` right above its fence.

  doc_blocks.py c WORK_DIR       every complete C block is compiled as strict
                                 C11 with -Werror twice, with `pkg-config
                                 kelvara` (finding libkelvara.so through an
                                 rpath) and with `pkg-config kelvara-static`
                                 (then ldd must show no libkelvara.so), and
                                 both programs must exit with 0
  doc_blocks.py python PYTHON    every complete Python block runs under PYTHON
                                 from an empty directory and must exit with 0

PKG_CONFIG_PATH must lead to the installed kelvara.pc for the C blocks.
"""

import pathlib
import re
import shlex
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^```(\w*)\s*$")
MARKER = "<!-- fragment -->"


def blocks(language):
    """Yields (place, text, complete) for every block in that language."""
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        lines = path.read_text().splitlines()
        index = 0
        while index < len(lines):
            opening = FENCE.match(lines[index])
            if not opening or not opening.group(1):
                index += 1
                continue
            end = index + 1
            while end < len(lines) and not lines[end].startswith("```"):
                end += 1
            if opening.group(1) == language:
                text = "\n".join(lines[index + 1 : end]) + "\n"
                marked = index > 0 and lines[index - 1].strip() == MARKER
                yield f"{path.relative_to(ROOT)}:{index + 1}", text, not marked and is_program(language, text)
            index = end + 1


def is_program(language, text):
    if language == "c":
        return re.search(r"^int main\s*\(", text, re.M) is not None
    return re.search(r"^(import|from)\s+\w", text, re.M) is not None


def run(command, place, **options):
    result = subprocess.run(command, capture_output=True, text=True, **options)
    if result.returncode != 0:
        sys.exit(f"{place}: `{shlex.join(map(str, command))}` failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def pkg_config(*arguments):
    return shlex.split(run(["pkg-config", *arguments], "pkg-config"))


def check_c(work):
    work = pathlib.Path(work)
    libdir = run(["pkg-config", "--variable=libdir", "kelvara"], "pkg-config").strip()
    shared = pkg_config("--cflags", "--libs", "kelvara") + [f"-Wl,-rpath,{libdir}"]
    static = pkg_config("--cflags", "--libs", "kelvara-static")
    strict = ["-std=c11", "-Wall", "-Wextra", "-pedantic-errors", "-Werror"]
    complete = fragments = 0
    for number, (place, text, is_complete) in enumerate(blocks("c")):
        if not is_complete:
            fragments += 1
            continue
        source = work / f"doc_block_{number}.c"
        source.write_text(text)
        for flavour, flags in (("shared", shared), ("static", static)):
            program = work / f"doc_block_{number}_{flavour}"
            run(["cc", *strict, "-o", program, source, *flags], place)
            run([program], f"{place} ({flavour})", cwd=work)
            if flavour == "static" and "libkelvara" in run(["ldd", program], place):
                sys.exit(f"{place}: linked with kelvara-static, the program still needs libkelvara.so")
        complete += 1
    return complete, fragments


def check_python(python):
    if "/" in python:  # the blocks run elsewhere
        python = str(pathlib.Path(python).absolute())
    complete = fragments = 0
    page, above = None, ""
    with tempfile.TemporaryDirectory() as empty:
        for place, text, is_complete in blocks("python"):
            if not is_complete:
                fragments += 1
                continue
            # A page reads top to bottom: a block may use what the blocks
            # run above it on the same page defined.
            if place.split(":")[0] != page:
                page, above = place.split(":")[0], ""
            above += text
            run([python, "-c", above], place, cwd=empty)
            complete += 1
    return complete, fragments


def main(language, argument):
    complete, fragments = check_c(argument) if language == "c" else check_python(argument)
    if complete == 0:
        sys.exit(f"no complete {language} block found in the docs: is the extraction broken?")
    print(f"  docs: {complete} complete {language} blocks ran, {fragments} fragments skipped")


if __name__ == "__main__":
    main(*sys.argv[1:])
