#!/usr/bin/env python3
"""Writes the license notices of the toolchain's parts that a link put into a program.

usage: notices.py [--debian] PROGRAM LINK_RECORD > NOTICES

LINK_RECORD is what the linker says it took in: a GNU ld map (-Wl,-Map=FILE) or what wasm-ld's
--trace prints. Every part taken from outside the project is traced to the Debian package that
installed it (dpkg-query -S), and its notices are taken from that package's copyright file: from
a machine-readable one, the paragraphs that cover the part's source files and the license
paragraphs they name; from a free-form one, the sections that cover the part. The texts of the
licenses these refer to in /usr/share/common-licenses are appended, or with --debian only
referred to, as a Debian package's own copyright file does. A part that no rule below knows stops
the build, so that no notice can go missing unnoticed.
"""
import argparse
import fnmatch
import os
import pathlib
import re
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field

TOP = pathlib.Path(__file__).resolve().parent.parent
COMMON_LICENSES = re.compile(r"/usr/share/common-licenses/([A-Za-z0-9.+-]*[A-Za-z0-9+])")
SOURCE_SUFFIXES = {".c", ".cc", ".cpp", ".S", ".s", ".js", ".inc"}
RULE_LINE = "=" * 78
WIDTH = 78


class NoticeError(Exception):
    """The notices cannot be gathered as they must be."""


@dataclass(frozen=True)
class Folders:
    """Paragraphs of a machine-readable copyright file: those for the part's source files, which
    lie under these paths of the upstream source (as the copyright file names its files)."""
    roots: tuple


@dataclass(frozen=True)
class Sections:
    """Stretches of a free-form copyright file, each from the line that starts with its first
    words up to the next line that starts with its last ones."""
    spans: tuple


# GCC's runtime libraries: their license (GPL 3 or later) and the GCC Runtime Library Exception,
# which the copyright files of Debian's gcc packages state in these two sections.
GCC_RUNTIME = Sections((("COPYRIGHT STATEMENTS AND LICENSING TERMS", "The libbacktrace library"),
                        ("GCC RUNTIME LIBRARY EXCEPTION", "libquadmath/")))
# emscripten installs the source its libraries are built from; the group "tree" names its top.
EMSCRIPTEN_LIB = r"^(?P<tree>/.*/emscripten)/cache/sysroot/lib/wasm32-emscripten/"

# What each part of a toolchain is, and where its notices are: the first rule whose pattern
# matches the part's path applies. A rule without notices marks a part that needs none.
RULES = [
    (EMSCRIPTEN_LIB + r"libc\.a$", "the C library (musl, with emscripten's own functions)",
     Folders(("system/lib/libc/", "system/lib/pthread/"))),
    (EMSCRIPTEN_LIB + r"lib(noexit|stubs)\.a$", "emscripten's stand-ins for system functions",
     Folders(("system/lib/libc/",))),
    (EMSCRIPTEN_LIB + r"libc\+\+\.a$", "libc++, the C++ standard library",
     Folders(("system/lib/libcxx/",))),
    (EMSCRIPTEN_LIB + r"libc\+\+abi\.a$", "libc++abi, the C++ runtime",
     Folders(("system/lib/libcxxabi/",))),
    (EMSCRIPTEN_LIB + r"libcompiler_rt\.a$", "compiler-rt, the compiler's runtime functions",
     Folders(("system/lib/compiler-rt/",))),
    (EMSCRIPTEN_LIB + r"libdlmalloc\.a$", "dlmalloc, the memory allocator",
     Folders(("system/lib/dlmalloc.c", "system/lib/sbrk.c"))),
    (r"^(?P<tree>/.*/emscripten)/src$", "emscripten's JavaScript runtime (made from its src folder)",
     Folders(("src/",))),
    # mingw-w64: its C runtime, and the import libraries of the system DLLs.
    (r"^/usr/[^/]+-w64-mingw32/lib/[^/]+$", "the mingw-w64 runtime", Folders(("mingw-w64-crt/",))),
    (r"^/usr/lib/gcc/[^/]+/[^/]+/libstdc\+\+\.a$", "libstdc++, the C++ standard library",
     GCC_RUNTIME),
    (r"^/usr/lib/gcc/[^/]+/[^/]+/(libgcc(_eh)?\.a|crt(begin|end)\w*\.o)$",
     "libgcc, GCC's runtime support", GCC_RUNTIME),
    # The C library's start files, linked into every program that loads the C library: their
    # license lets them be linked into any program without conditions.
    (r"^/usr/lib/[^/]+-linux-gnu/([gr]?crt1|Scrt1|crti|crtn)\.o$", None, None),
    (r"^/usr/lib/[^/]+-linux-gnu/libc_nonshared\.a$", None, None),
]
# A program linked by emscripten also holds its JavaScript runtime, made from the src folder of
# the tree whose cache holds the libraries.
BRINGS = [(re.compile(EMSCRIPTEN_LIB), r"\g<tree>/src")]


@dataclass
class Part:
    """Files of one kind of part, from one package."""
    name: str
    notices: object
    package: str
    version: str
    files: dict = field(default_factory=dict)  # path -> the names of its members taken
    tree: str = None


def linked_inputs(record):
    """The inputs from outside the project that a link took: {absolute path: member names}, an
    object or folder taken whole having none. Read from a GNU ld map or from wasm-ld's --trace."""
    taken = {}
    if "Archive member included to satisfy reference by file" in record:
        members = record.split("Archive member included to satisfy reference by file", 1)[1]
        members = re.split(r"^(?:Discarded input sections|Allocating common symbols|"
                           r"Memory Configuration)", members, maxsplit=1, flags=re.M)[0]
        for archive, member in re.findall(r"^(\S[^(\n]*)\(([^)\n]*)\)", members, re.M):
            taken.setdefault(archive, set()).add(member)
        for loaded in re.findall(r"^LOAD (\S+)$", record, re.M):
            # Archives count by their members, above; shared libraries and linker scripts
            # are loaded when the program runs.
            if not re.search(r"\.(a|so)(\.[0-9.]+)?$", loaded):
                taken.setdefault(loaded, set())
    else:
        for line in record.splitlines():
            match = re.fullmatch(r"(/[^()]+?)(?:\((.*)\))?", line.strip())
            if match:
                members = taken.setdefault(match.group(1), set())
                if match.group(2):
                    members.add(match.group(2))
    inputs = {}
    for path, members in taken.items():
        path = os.path.normpath(path)
        if path.startswith("/") and not pathlib.Path(path).resolve().is_relative_to(TOP):
            inputs.setdefault(path, set()).update(members)
    for pattern, replacement in BRINGS:
        for match in filter(None, map(pattern.match, list(inputs))):
            inputs.setdefault(match.expand(replacement), set())
    return dict(sorted(inputs.items()))


def owners(paths):
    """The Debian package that installed each path, and its version: {path: (package, version)}."""
    found = {}
    for candidates in (list(paths), [os.path.realpath(p) for p in paths]):
        left = [p for p, c in zip(paths, candidates) if p not in found]
        asked = [c for p, c in zip(paths, candidates) if p not in found]
        if not asked:
            break
        # Paths no package installed are told on the standard error; the others still answer.
        done = subprocess.run(["dpkg-query", "-S", *asked], capture_output=True, text=True)
        by_path = {}
        for line in done.stdout.splitlines():
            if line.startswith(("diversion ", "local diversion ")):
                continue
            packages, _, path = line.partition(": ")
            by_path[path] = packages.split(",")[0].split(":")[0].strip()
        found |= {p: by_path[c] for p, c in zip(left, asked) if c in by_path}
    missing = [p for p in paths if p not in found]
    if missing:
        raise NoticeError(f"{missing[0]} was installed by no Debian package: its notices are "
                          "unknown")
    packages = sorted(set(found.values()))
    done = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Version}\\n", *packages],
                          capture_output=True, text=True, check=True)
    versions = dict(line.split(" ", 1) for line in done.stdout.splitlines())
    return {p: (found[p], versions[found[p]]) for p in paths}


def paragraphs(text):
    """The paragraphs of a machine-readable copyright file: (fields, text) pairs, with field
    names in lower case and each value as written, continuation lines included."""
    for block in re.split(r"\n[ \t]*\n", text.strip("\n")):
        fields, last = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and last:
                fields[last] += "\n" + line
            elif ":" in line:
                last, _, value = line.partition(":")
                last = last.strip().lower()
                fields[last] = value.strip()
        yield fields, block


def pattern_regex(pattern):
    """A Files pattern as a regular expression: * is any text, / included; ? one character."""
    return re.compile("".join(".*" if c == "*" else "." if c == "?" else re.escape(c)
                              for c in pattern) + r"\Z", re.S)


def could_hold(pattern, root):
    """Whether a Files pattern may match a file at or under root: the literal start of the one
    begins the other."""
    literal = re.split(r"[*?]", pattern, maxsplit=1)[0]
    return literal.startswith(root) or root.startswith(literal)


def license_names(expression):
    """The license names in a License field's first line ("A or B", "C with D exception")."""
    names = set()
    for name in re.split(r"\s+(?:or|and)\s+|\s*,\s*", expression.lower()):
        name = name.strip("() ")
        names |= {name, re.sub(r"\s+with\s+.*\s+exception$", "", name)}
    return names - {""}


def member_stems(part):
    """The names, without extension, of the sources of the members a part's archives gave (and
    of its objects taken whole), less the prefix automake puts before an archive's objects."""
    names = [m for path, members in part.files.items()
             for m in (members or {os.path.basename(path)})]
    return {re.sub(r"^\w*_a-", "", pathlib.PurePath(m).stem) for m in names}


def could_be_source(pattern, stems):
    """Whether a Files pattern's last component may name the source of one of stems."""
    last = pattern.rsplit("/", 1)[-1]
    return any(fnmatch.fnmatchcase(f"{stem}{suffix}", last)
               for stem in stems for suffix in SOURCE_SUFFIXES | {".def", ".h"})


def source_files(part, roots):
    """The files, relative to the installed source tree, that the part is built from: those
    under its roots named as its members are, or every source file there when a member's source
    cannot be told."""
    tree = pathlib.Path(part.tree)
    files = []
    for root in roots:
        base = tree / root
        found = [base] if base.is_file() else sorted(p for p in base.rglob("*") if p.is_file())
        files += [p for p in found if p.suffix in SOURCE_SUFFIXES]
    if not files:
        raise NoticeError(f"no source files under {', '.join(roots)} in {tree}")
    stems = member_stems(part)
    named = [p for p in files if p.stem in stems]
    if {p.stem for p in named} == stems:
        files = named
    return {str(p.relative_to(tree)) for p in files}


def from_folders(text, parts_and_roots, where):
    """The paragraphs of a machine-readable copyright file that cover the parts' source files,
    then the license paragraphs they name, in the file's order."""
    if not re.match(r"Format:\s*\S*copyright-format", text):
        raise NoticeError(f"{where} is not a machine-readable copyright file")
    entries = list(paragraphs(text))
    files = [(i, [pattern_regex(p) for p in fields["files"].split()])
             for i, (fields, _) in enumerate(entries) if "files" in fields]
    chosen = set()
    for part, roots in parts_and_roots:
        if part.tree is None:
            # No source installed: the paragraphs naming, under the roots, a file that may be the
            # source of a member (by its name, any folder) or a whole folder of sources.
            stems = member_stems(part)
            chosen |= {i for i, (fields, _) in enumerate(entries) if "files" in fields and any(
                could_hold(p, r) and could_be_source(p, stems)
                for p in fields["files"].split() for r in roots)}
            continue
        for path in source_files(part, roots):
            # The last paragraph that matches a file is the one that applies to it.
            winner = None
            for i, patterns in files:
                if any(p.match(path) for p in patterns):
                    winner = i
            if winner is None:
                raise NoticeError(f"{where} says nothing of {path}")
            chosen.add(winner)
    if not chosen:
        raise NoticeError(f"{where} covers none of the parts' files")
    names = set()
    for i in chosen:
        names |= license_names(entries[i][0].get("license", "").split("\n")[0])
    chosen |= {i for i, (fields, _) in enumerate(entries)
               if "files" not in fields and "format" not in fields and "license" in fields
               and fields["license"].split("\n")[0].strip().lower() in names}
    return "\n\n".join(entries[i][1].strip("\n") for i in sorted(chosen))


def from_sections(text, spans, where):
    """The stretches of a free-form copyright file that spans name."""
    lines = text.splitlines()
    out = []
    for first, last in spans:
        starts = [i for i, line in enumerate(lines) if line.startswith(first)]
        if len(starts) != 1:
            raise NoticeError(f"{where}: {len(starts)} lines start with {first!r}, not one")
        end = next((i for i in range(starts[0] + 1, len(lines)) if lines[i].startswith(last)),
                   None)
        if end is None:
            raise NoticeError(f"{where}: nothing ends the section {first!r}")
        out.append("\n".join(lines[starts[0]:end]).strip("\n"))
    return "\n\n".join(out)


def fill(text, indent=""):
    return textwrap.fill(text, WIDTH, subsequent_indent=indent, break_on_hyphens=False,
                         break_long_words=False)


def gather(record, program, debian=False):
    """The notices of the parts a link put into program, as text."""
    parts, ruled = {}, {}
    for path, members in linked_inputs(record).items():
        rule = next((r for r in RULES if re.search(r[0], path)), None)
        if rule is None:
            raise NoticeError(f"{path} went into {program}, but no rule in {__file__} says "
                              "where its notices are")
        if rule[2] is not None:
            ruled[path] = (rule, members)
    packages = owners(list(ruled)) if ruled else {}
    for path, ((pattern, name, notices), members) in ruled.items():
        package, version = packages[path]
        tree = re.search(pattern, path).groupdict().get("tree")
        part = parts.setdefault((name, package), Part(name, notices, package, version, tree=tree))
        part.files[path] = members
    if not parts:
        raise NoticeError(f"the link record names no part of a toolchain in {program}")

    # One section per copyright file (the packages of one source share one), in a fixed order.
    groups = {}
    for key in sorted(parts):
        part = parts[key]
        copyright_file = pathlib.Path("/usr/share/doc", part.package, "copyright")
        if not copyright_file.is_file():
            raise NoticeError(f"{part.package} has no {copyright_file}")
        groups.setdefault(copyright_file.resolve(), (copyright_file, []))[1].append(part)

    title = f"Notices of the third-party parts of {program}"
    out = [title, "=" * len(title), "", fill(
        f"Besides palmconv's own code, which is under the MIT License, {program} holds these "
        "parts of the toolchain that built it. Their copyright and license notices follow, as "
        "the copyright files of the Debian packages that provided them state them."), ""]
    for part in sorted((p for _, g in groups.values() for p in g), key=lambda p: p.name):
        files = ", ".join(sorted({os.path.basename(f) for f in part.files}))
        out.append(fill(f"- {part.name}: {files}, from {part.package} {part.version}", "  "))
    licenses = {}
    for copyright_file, group in groups.values():
        text = copyright_file.read_text(encoding="utf-8")
        if all(isinstance(p.notices, Folders) for p in group):
            body = from_folders(text, [(p, p.notices.roots) for p in group], copyright_file)
            about = "the paragraphs for their source files"
        elif all(isinstance(p.notices, Sections) for p in group):
            spans = list(dict.fromkeys(span for p in group for span in p.notices.spans))
            body = from_sections(text, spans, copyright_file)
            about = "the sections on them"
        else:
            raise NoticeError(f"{copyright_file} is read two ways")
        packages = ", ".join(sorted({f"{p.package} {p.version}" for p in group}))
        out += ["", RULE_LINE, fill("; ".join(p.name for p in group)),
                fill(f"From {copyright_file} ({about}), as installed with {packages}:"),
                RULE_LINE, "", body]
        for license_name in COMMON_LICENSES.findall(body):
            path = pathlib.Path("/usr/share/common-licenses", license_name)
            if path.is_file():
                licenses.setdefault(path.resolve(), path)
    if licenses and not debian:
        for resolved in sorted(licenses):
            out += ["", RULE_LINE, f"The license text in {resolved}, referred to above", RULE_LINE,
                    "", resolved.read_text(encoding="utf-8").strip("\n")]
    return "\n".join(line.rstrip() for line in "\n".join(out).split("\n")) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--debian", action="store_true",
                        help="refer to /usr/share/common-licenses rather than copy its texts")
    parser.add_argument("program", help="the program's name, as the notices call it")
    parser.add_argument("record", type=pathlib.Path, help="the link map or trace")
    args = parser.parse_args()
    try:
        sys.stdout.write(gather(args.record.read_text(errors="replace"), args.program,
                                args.debian))
    except NoticeError as error:
        sys.exit(f"notices.py: {error}")


if __name__ == "__main__":
    main()
