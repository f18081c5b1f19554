#!/usr/bin/env python3
"""Writes the page: the template with the worker put inside it, followed by the converter's glue
code, and its WebAssembly handed to the glue as bytes, so that the page is one file that needs
nothing else and fetches nothing.

    make_page.py TEMPLATE WORKER GLUE OUTPUT   (the WebAssembly lies beside GLUE, as .wasm)
"""
import base64
import pathlib
import sys

template, worker, glue, output = (pathlib.Path(a) for a in sys.argv[1:5])
wasm = base64.b64encode(glue.with_suffix(".wasm").read_bytes()).decode()
binary = 'Module.wasmBinary = Uint8Array.from(atob("%s"), (c) => c.charCodeAt(0));\n' % wasm
code = worker.read_text() + binary + glue.read_text()
# Inside a script element only these could end it early; in JavaScript, where they can only
# stand in strings, regular expressions or comments, the escaped forms mean the same.
code = code.replace("</script", "<\\/script").replace("<!--", "<\\!--")
page = template.read_text()
assert page.count("/*@WORKER@*/") == 1
output.parent.mkdir(parents=True, exist_ok=True)
output.write_text(page.replace("/*@WORKER@*/", code))
