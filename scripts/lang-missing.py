#!/usr/bin/env python3
"""Lists, per language pack, the keys its files lack, with their English text, in the
files' own format ready to translate and paste; and the keys a pack has that the program
does not know. The English keys are those the program writes into a new home, kept in
tests/data/lang (the unit tests hold those files equal to the program's defaults).

Usage: scripts/lang-missing.py [PACK_DIR] [--english DIR]
  PACK_DIR   directory with Langs.txt and the packs (default: res/Lang)
  --english  directory with HTMLStrings.Eng.Txt and HTMLDialogs.Eng.Txt
             (default: tests/data/lang; a home's Lang directory works too)
Exit status 1 when a pack lacks a key or has an unknown one, 0 when every pack is complete.
"""
import argparse
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
FILES = ("HTMLStrings", "HTMLDialogs")


def lines_of(path):
    """The file's lines as text: UTF-8, or Windows-1252 where a line is not UTF-8."""
    data = path.read_bytes()
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    for raw in data.split(b"\n"):
        raw = raw.rstrip(b"\r")
        try:
            yield raw.decode("utf-8")
        except UnicodeDecodeError:
            yield raw.decode("cp1252", errors="replace")


def entries(path):
    """(section, key, line) of every key line, in file order."""
    section = ""
    for line in lines_of(path):
        text = line.strip()
        if text.startswith("[") and "]" in text:
            section = text[1:text.index("]")].strip()
        elif "=" in text:
            yield section, text[:text.index("=")].strip(), text


def folded(section, key):
    return section.lower(), key.lower()


def languages(pack_dir):
    listed = []
    for line in lines_of(pack_dir / "Langs.txt"):
        if "=" in line:
            name, code = (part.strip() for part in line.split("=", 1))
            listed.append((name, code))
    return listed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("pack_dir", nargs="?", default=str(ROOT / "res" / "Lang"))
    parser.add_argument("--english", default=str(ROOT / "tests" / "data" / "lang"))
    args = parser.parse_args()
    pack_dir = pathlib.Path(args.pack_dir)
    english_dir = pathlib.Path(args.english)

    incomplete = False
    for name, code in languages(pack_dir):
        if code == "Eng":
            continue
        for stem in FILES:
            english = list(entries(english_dir / f"{stem}.Eng.Txt"))
            known = {folded(section, key) for section, key, _ in english}
            file_name = f"{stem}.{code}.Txt"
            path = pack_dir / file_name
            present = list(entries(path)) if path.exists() else []
            have = {folded(section, key) for section, key, _ in present}
            missing = [(s, k, line) for s, k, line in english if folded(s, k) not in have]
            unknown = [(s, k) for s, k, _ in present if folded(s, k) not in known]
            if not missing and not unknown:
                continue
            incomplete = True
            if missing:
                print(f"# {file_name} ({name}): {len(missing)} key(s) missing; English text below,"
                      " translate it and paste each line into its section")
                section = None
                for s, _, line in missing:
                    if s != section:
                        print(f"[{s}]")
                        section = s
                    print(line)
                print()
            if unknown:
                print(f"# {file_name} ({name}): {len(unknown)} key(s) the program does not know;"
                      " remove them")
                for s, k in unknown:
                    print(f"[{s}] {k}")
                print()
    if not incomplete:
        print("Every pack has every key.")
    return 1 if incomplete else 0


if __name__ == "__main__":
    sys.exit(main())
