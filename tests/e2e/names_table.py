"""The table of names in every language (tests/names.txt), for the Python
tiers: label, name, and its bytes in Windows-1252 and Windows-1251 (None
where the code page lacks a character)."""
import os
import re

TABLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "names.txt")


class Name:
    def __init__(self, label, name, cp1252, cp1251):
        self.label = label
        self.name = name
        self.cp1252 = None if cp1252 == "-" else bytes.fromhex(cp1252)
        self.cp1251 = None if cp1251 == "-" else bytes.fromhex(cp1251)

    def in_code_page(self, code_page):
        return self.cp1252 if code_page == 1252 else self.cp1251


def names():
    rows = []
    with open(TABLE, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line and not line.startswith("#"):
                rows.append(Name(*line.split("\t")))
    return rows


def make_named_files(folder, rows, suffix=""):
    """One small file per row, its contents naming the row; the paths."""
    paths = []
    for i, row in enumerate(rows):
        path = os.path.join(folder, row.name + suffix)
        with open(path, "wb") as f:
            f.write(("%d %s\n" % (i, row.label)).encode() * (i + 1))
        paths.append(path)
    return paths


def wine_text(traced):
    """A text of a Wine trace (L"...") with its \\xxxx escapes decoded."""
    text = re.sub(r"\\([0-9a-f]{4})|\\(.)",
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else m.group(2), traced)
    # Characters beyond U+FFFF come as two surrogates.
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le")
