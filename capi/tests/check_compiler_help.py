"""The compiler's help for C callers, checked from the headers themselves.

Every exported function whose result is a result code (int32_t) or a new object
(a _new function) must make the compiler complain when a caller drops that
result: a caller that ignores it fails to compile under -Werror, one that
tests it compiles cleanly. Every other function must compile cleanly either way.
With KELVARA_ASSUME_NONNULL, a null argument where the header marks a
parameter non-null fails under -Werror too; without it, it compiles (the
documented -1 for NULL).

Usage: check_compiler_help.py CC INCLUDE_DIR...
"""

import pathlib
import re
import subprocess
import sys
import tempfile

# The marks (KELVARA_EXPORT among them, in any order), the return type, the
# name and the parameters of one declaration.
DECLARATION = re.compile(
    r"(?P<marks>(?:KELVARA_\w+(?:\([\d, ]*\))?\s+)+)(?P<type>[\w\s\*]+?)\s*\*?\s*"
    r"\b(?P<name>kelvara_\w+)\s*\((?P<params>[^)]*)\)\s*(?:KELVARA_NOEXCEPT)?\s*;"
)


def declarations(include_dirs):
    seen = {}
    for directory in include_dirs:
        for header in sorted(pathlib.Path(directory).rglob("*.h")):
            text = re.sub(r"/\*.*?\*/", " ", header.read_text(), flags=re.S)
            for match in DECLARATION.finditer(text):
                if "KELVARA_EXPORT" in match["marks"].split():
                    seen[match["name"]] = match
    return seen


def compiles(cc, include_dirs, body, *flags):
    source = "#include <kelvara.h>\nvoid caller(void);\nvoid caller(void) {\n" + body + "\n}\n"
    with tempfile.NamedTemporaryFile("w", suffix=".c") as file:
        file.write(source)
        file.flush()
        # Not -fsyntax-only: GCC warns about an unused result only when it
        # goes on to generate code.
        command = [cc, "-std=c11", "-c", "-o", "/dev/null", "-Wall", "-Werror", *flags, file.name]
        command += [f"-I{d}" for d in include_dirs]
        return subprocess.run(command, capture_output=True, text=True).returncode == 0


def main(cc, *include_dirs):
    found = declarations(include_dirs)
    if not {"kelvara_boundary_authorize", "kelvara_gate_admit"} <= found.keys():
        sys.exit(f"the headers in {include_dirs} declare too few functions: {sorted(found)}")
    faults = []
    for name, match in sorted(found.items()):
        params = [p for p in match["params"].split(",") if p.strip() not in ("", "void")]
        call = f"{name}({', '.join('0' for _ in params)})"
        decides = "int32_t" in match["type"].split() or name.endswith("_new")
        returns = match["type"].split() != ["void"]
        if returns and not compiles(cc, include_dirs, f"if ({call}) {{}}"):
            faults.append(f"{name}: a caller that tests the result does not compile")
        ignored = compiles(cc, include_dirs, f"{call};")
        if decides and ignored:
            faults.append(f"{name}: ignoring its result compiles under -Werror (no KELVARA_MUST_USE)")
        if not decides and not ignored:
            faults.append(f"{name}: ignoring its result fails, though it decides nothing")
        nonnull = re.search(r"KELVARA_NONNULL\(([\d, ]*)\)", match["marks"])
        if nonnull:
            use = f"(void)!{call};" if returns else f"{call};"
            if not compiles(cc, include_dirs, use):
                faults.append(f"{name}: NULL no longer compiles without KELVARA_ASSUME_NONNULL")
            if compiles(cc, include_dirs, use, "-DKELVARA_ASSUME_NONNULL"):
                faults.append(f"{name}: NULL compiles although KELVARA_ASSUME_NONNULL marks it")
    print(f"{len(found)} functions checked: "
          f"{sum(1 for m in found.values() if 'KELVARA_MUST_USE' in m['marks'])} must be used")
    if faults:
        sys.exit("\n".join(faults))


if __name__ == "__main__":
    main(*sys.argv[1:])
