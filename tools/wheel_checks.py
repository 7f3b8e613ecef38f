"""Checks of a built wheel for tools/package.sh, read from structured data.

    python tools/wheel_checks.py libm-imports MODULE.so
        prints the functions MODULE imports from libm.so.6, one per line, as
        its symbol versions name their file (pyelftools reads the ELF tables);
    python tools/wheel_checks.py manylinux2014 SHOW.json
        reads the output of `auditwheel show --json` and fails, with the reason
        on stderr, unless the wheel is manylinux2014 (manylinux_2_17_x86_64)
        by auditwheel's own reading and needs no library grafted into it.

Both need the packages of package.sh's tool environment: pyelftools (which
auditwheel depends on) and the pinned auditwheel that wrote the JSON.
"""

import json
import sys

EXPECTED_TAG = "manylinux_2_17_x86_64"


def libm_imports(path):
    """The undefined dynamic symbols of `path` whose version belongs to libm.so.6."""
    from elftools.elf.elffile import ELFFile
    from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

    with open(path, "rb") as stream:
        elf = ELFFile(stream)
        owner, versions = {}, None
        for section in elf.iter_sections():
            if isinstance(section, GNUVerNeedSection):
                for needed, auxiliaries in section.iter_versions():
                    for auxiliary in auxiliaries:
                        owner[auxiliary.entry["vna_other"]] = needed.name
            elif isinstance(section, GNUVerSymSection):
                versions = section
        symbols = elf.get_section_by_name(".dynsym")
        if symbols is None or versions is None:
            return []
        names = set()
        for number, symbol in enumerate(symbols.iter_symbols()):
            if symbol["st_shndx"] != "SHN_UNDEF" or not symbol.name:
                continue
            index = versions.get_symbol(number).entry["ndx"]
            # 0 and 1 (no version, the global base) come as names, not numbers.
            if isinstance(index, int) and owner.get(index & 0x7FFF) == "libm.so.6":
                names.add(symbol.name)
    return sorted(names)


def manylinux2014_problem(show):
    """Why auditwheel's reading `show` is not a clean manylinux2014 wheel, or None."""
    if show.get("pure"):
        return "auditwheel reads it as a pure Python wheel"
    if show.get("overall_tag") != EXPECTED_TAG:
        return f"auditwheel reports the tag {show.get('overall_tag')}, not {EXPECTED_TAG}"
    external = show.get("external_libs") or {}
    if external:
        return "it needs libraries grafted in: " + ", ".join(sorted(external))
    return None


def main(argv):
    if len(argv) != 3 or argv[1] not in ("libm-imports", "manylinux2014"):
        sys.exit(__doc__)
    if argv[1] == "libm-imports":
        print("\n".join(libm_imports(argv[2])))
        return
    with open(argv[2]) as stream:
        problem = manylinux2014_problem(json.load(stream))
    if problem:
        sys.exit(problem)
    print(f"auditwheel: {EXPECTED_TAG}, no external libraries")


if __name__ == "__main__":
    main(sys.argv)
