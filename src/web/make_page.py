#!/usr/bin/env python3
"""Writes the page: the template with the worker put inside it, followed by the converter's glue
code, and its WebAssembly handed to the glue as bytes, so that the page is one file that needs
nothing else and fetches nothing; its Licenses section holds palmconv's license and the notices
of the toolchain's parts the link put in, which are also written beside the page.

    make_page.py TEMPLATE WORKER GLUE OUTPUT   (the WebAssembly and the linker's trace lie beside
                                                GLUE, as .wasm and .trace)
"""
import base64
import html
import pathlib
import shutil
import sys

TOP = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP / "packaging"))
import notices  # noqa: E402

template, worker, glue, output = (pathlib.Path(a) for a in sys.argv[1:5])
wasm = base64.b64encode(glue.with_suffix(".wasm").read_bytes()).decode()
binary = 'Module.wasmBinary = Uint8Array.from(atob("%s"), (c) => c.charCodeAt(0));\n' % wasm
code = worker.read_text() + binary + glue.read_text()
# Inside a script element only these could end it early; in JavaScript, where they can only
# stand in strings, regular expressions or comments, the escaped forms mean the same.
code = code.replace("</script", "<\\/script").replace("<!--", "<\\!--")

if shutil.which("dpkg-query"):
    try:
        third_party = notices.gather(glue.with_suffix(".trace").read_text(), "the page")
    except notices.NoticeError as error:
        sys.exit(f"make_page.py: {error}")
else:
    # The toolchain's packages are known only where Debian's tools are; releases are built there.
    third_party = "The notices of the toolchain's parts are gathered only on Debian.\n"
    print("make_page.py: no dpkg-query: the page holds no third-party notices", file=sys.stderr)
licenses = (TOP / "LICENSE").read_text() + "\n\n" + third_party

page = template.read_text()
assert page.count("/*@WORKER@*/") == 1 and page.count("<!--@LICENSES@-->") == 1
page = page.replace("<!--@LICENSES@-->", html.escape(licenses, quote=False))
output.parent.mkdir(parents=True, exist_ok=True)
output.write_text(page.replace("/*@WORKER@*/", code))
(output.parent / "THIRD-PARTY-NOTICES.txt").write_text(third_party)
