#!/usr/bin/python3
"""Checks the Windows drivers in a folder as a loader and a driver reviewer
would: each .sys must be a PE32 image of the native subsystem with a valid
checksum and base relocations, no TLS, no section both writable and
executable, no exported names, no unwind tables (.eh_frame), and imports only
from ntoskrnl.exe and HAL.dll (merrow also USBD.SYS), each imported name one
that module exports. The exports of each module are read from mingw-w64's
import libraries. Each refusal names the image and what is wrong.

Usage: scripts/check-sys.py [folder]     (default build/windows/out)
"""
import os
import re
import shutil
import subprocess
import sys

import pefile

LIBDIR = "/usr/i686-w64-mingw32/lib"
MODULES = {"ntoskrnl.exe": "libntoskrnl.a", "hal.dll": "libhal.a", "usbd.sys": "libusbd.a"}
ALLOWED = {"tolvane.sys": ["ntoskrnl.exe", "hal.dll"], "merrow.sys": ["ntoskrnl.exe", "hal.dll", "usbd.sys"]}
WRITE, EXECUTE = 0x80000000, 0x20000000


def exported_names(library):
    """The names an import library's module exports, as an import table may
    spell them: undecorated (__imp__Name@8 -> Name, __imp_@Name@4 -> Name)
    or, for modules that export decorated names, as decorated (_Name@8)."""
    nm = shutil.which("i686-w64-mingw32-nm") or "nm"
    out = subprocess.run([nm, "--defined-only", os.path.join(LIBDIR, library)], capture_output=True, text=True,
                         check=True).stdout
    names = set()
    for line in out.splitlines():
        symbol = line.split()[-1] if line.split() else ""
        if not symbol.startswith("__imp_"):
            continue
        decorated = symbol[len("__imp_"):]
        names.add(decorated)
        name = decorated[1:] if decorated[0] in "_@" else decorated
        names.add(re.sub(r"@\d+$", "", name))
    return names


def section_name(pe, section):
    """A section's name; a name longer than eight characters is "/offset"
    into the COFF string table that follows the symbol table."""
    raw = section.Name.rstrip(b"\0").decode(errors="replace")
    header = pe.FILE_HEADER
    if raw.startswith("/") and raw[1:].isdigit() and header.PointerToSymbolTable:
        start = header.PointerToSymbolTable + header.NumberOfSymbols * 18 + int(raw[1:])
        end = pe.__data__.find(b"\0", start)
        return pe.__data__[start:end].decode(errors="replace")
    return raw


def check(path, name, exports):
    problems = []
    pe = pefile.PE(path)
    opt = pe.OPTIONAL_HEADER
    if opt.Magic != 0x10B:
        problems.append("not a PE32 image (Magic 0x%x)" % opt.Magic)
    if opt.Subsystem != 1:
        problems.append("not a native-subsystem image (Subsystem %d)" % opt.Subsystem)
    if opt.CheckSum == 0 or not pe.verify_checksum():
        problems.append("checksum 0x%08x does not match the image (0x%08x)" % (opt.CheckSum, pe.generate_checksum()))
    if opt.AddressOfEntryPoint == 0:
        problems.append("no entry point")
    dirs = opt.DATA_DIRECTORY
    reloc = dirs[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if reloc.Size == 0:
        problems.append("no base relocations: the image could load only at its preferred base")
    if dirs[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]].Size:
        problems.append("a TLS directory: a driver has no thread-local storage")
    for section in pe.sections:
        label = section_name(pe, section)
        if section.Characteristics & WRITE and section.Characteristics & EXECUTE:
            problems.append("section %s is both writable and executable" % label)
        if label.startswith(".eh_fram"):
            problems.append("an .eh_frame section: unwind tables a driver never uses")
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        names = [s.name.decode() for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name]
        if pe.DIRECTORY_ENTRY_EXPORT.symbols:
            problems.append("exports %d names (%s): a driver exports nothing" % (len(names), ", ".join(names[:5])))
    allowed = ALLOWED.get(name, ["ntoskrnl.exe", "hal.dll"])
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode().lower()
        if dll not in allowed:
            problems.append("imports from %s; a driver may import only from: %s" % (entry.dll.decode(), ", ".join(allowed)))
            continue
        for imported in entry.imports:
            if imported.name is None:
                problems.append("imports ordinal %d from %s" % (imported.ordinal, entry.dll.decode()))
            elif imported.name.decode() not in exports[dll]:
                problems.append("imports %s from %s, which does not export it" % (imported.name.decode(), entry.dll.decode()))
    return problems


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "build/windows/out"
    exports = {dll: exported_names(lib) for dll, lib in MODULES.items()}
    failed = False
    for name in ALLOWED:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            print("check-sys: %s: missing (looked for %s)" % (name, path), file=sys.stderr)
            failed = True
            continue
        for problem in check(path, name, exports):
            print("check-sys: %s: %s" % (name, problem), file=sys.stderr)
            failed = True
    if failed:
        return 1
    sizes = ", ".join("%s %d bytes" % (n, os.path.getsize(os.path.join(folder, n))) for n in ALLOWED)
    print("check-sys: native PE32 images, checksums valid, relocations present, no TLS, no W+X section, "
          "no exports, no .eh_frame, every import exported by its module (%s)" % sizes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
