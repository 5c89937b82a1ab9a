#!/usr/bin/env python3
"""Compiles every C and C++ block of the guides (docs/*.md), so that what
an author copies from them builds.

A fenced block marked cpp (or c++) is compiled as a C++20 translation unit,
one marked c as a C11 one, each with the warnings modules are held to
(-Wall -Wextra -Wpedantic, -Wold-style-cast for C++) as errors. A block
may instead be an excerpt of one of the example programs: when its lines
appear, in order and together, in a file under examples/, it is that
file's code, which the test suite builds, and is not compiled alone
(indentation aside, it must be the file's text exactly).

Usage: compile_doc_blocks.py SOURCE_DIR INCLUDE_DIR... (the directories
the headers are found in). Prints one line per block; exits 1 when any
block fails."""
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap

# A fence may be indented (a block inside a list); its lines share the indent.
FENCE = re.compile(r"^( *)```([A-Za-z+]*)[^\n]*\n(.*?)^\1```[ \t]*$", re.S | re.M)
LANGS = {"cpp": "c++", "c++": "c++", "c": "c"}
FLAGS = {
    "c++": ["g++", "-std=c++20", "-x", "c++", "-Wold-style-cast"],
    "c": ["gcc", "-std=c11", "-x", "c"],
}


def blocks(path):
    text = path.read_text(encoding="utf-8")
    for m in FENCE.finditer(text):
        lang = LANGS.get(m.group(2).lower())
        if lang:
            yield text.count("\n", 0, m.start()) + 1, lang, textwrap.dedent(m.group(3))


def lines_of(code):
    """The lines of `code` without their indentation: an excerpt may be
    shown less indented than where it stands."""
    return [line.strip() for line in code.strip("\n").splitlines()]


def excerpt_of(code, examples):
    """The example file that holds `code` as consecutive lines, or None."""
    want = lines_of(code)
    for path, have in examples.items():
        for k in range(len(have) - len(want) + 1):
            if have[k:k + len(want)] == want:
                return path
    return None


def compile_block(lang, code, includes):
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp) / ("block.cpp" if lang == "c++" else "block.c")
        src.write_text(code, encoding="utf-8")
        cmd = FLAGS[lang] + ["-fsyntax-only", "-Wall", "-Wextra", "-Wpedantic", "-Werror"]
        cmd += [f"-I{d}" for d in includes] + [str(src)]
        run = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
        return run.returncode == 0, run.stderr


def main():
    source = pathlib.Path(sys.argv[1])
    includes = sys.argv[2:]
    examples = {p: lines_of(p.read_text(encoding="utf-8"))
                for p in sorted((source / "examples").rglob("*")) if p.suffix in (".c", ".cpp")}
    failed = 0
    count = 0
    for doc in sorted((source / "docs").glob("*.md")):
        for line, lang, code in blocks(doc):
            count += 1
            where = f"{doc.relative_to(source)}:{line}"
            example = excerpt_of(code, examples)
            if example:
                print(f"{where}: excerpt of {example.relative_to(source)}")
                continue
            ok, errors = compile_block(lang, code, includes)
            print(f"{where}: {lang} {'compiles' if ok else 'FAILS'}")
            if not ok:
                failed += 1
                print(errors)
    print(f"{count} blocks, {failed} failing")
    return 1 if failed or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
