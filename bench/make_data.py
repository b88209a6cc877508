"""Makes the real records in bench/data/ from what a Debian system has installed.

    ./dev run python3.14 bench/make_data.py

The files are committed, so that every run times the same records; this script says
where they came from and makes them again on any Debian system:

- packages.json: the system's package records (/var/lib/dpkg/status), one dict per
  package with the same keys in every record: the most common fields of the file, a
  missing one as "". Values run from one word to multi-line descriptions, with the odd
  non-ASCII name among the maintainers. Packages whose text names a standards
  document (LEFT_OUT) are passed over: this project's own files keep that word out.
- locales.json: one record per locale of the C library's locale sources
  (/usr/share/i18n/locales, package `locales`): its language and country names in its
  own language, currency, and the names of its days and months, in dozens of scripts.
"""
from __future__ import annotations

import json
import re
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
STATUS = Path("/var/lib/dpkg/status")
LOCALES = Path("/usr/share/i18n/locales")
PACKAGE_FIELDS = 18
PACKAGES = 300
LEFT_OUT = re.compile(r"\bspec\w*ation", re.IGNORECASE)


def paragraphs(text: str) -> list[dict[str, str]]:
    """The paragraphs of a Debian control file: 'Field: value', continuation lines
    starting with a blank."""
    records = []
    for block in text.split("\n\n"):
        record: dict[str, str] = {}
        field = None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and field is not None:
                record[field] += "\n" + line
            elif ":" in line:
                field, value = line.split(":", 1)
                record[field] = value.strip()
        if record:
            records.append(record)
    return records


def package_records() -> list[dict[str, str]]:
    packages = sorted(paragraphs(STATUS.read_text(encoding="utf-8")),
                      key=lambda p: p["Package"])
    counts = Counter(field for p in packages for field in p)
    fields = [field for field, _ in counts.most_common(PACKAGE_FIELDS)]
    kept = [p for p in packages if not any(LEFT_OUT.search(v) for v in p.values())]
    return [{field: p.get(field, "") for field in fields} for p in kept[:PACKAGES]]


# ---------------------------------------------------------------------------
# Locale sources

LOCALE_NAME = re.compile(r"^[a-z]{2,3}_[A-Z]{2}$")
CHARACTER = re.compile(r"<U([0-9A-Fa-f]{4,8})>")


def unescape(text: str, escape: str) -> str:
    """A quoted string of a locale source: <Uxxxx> names a character, the escape
    character takes the next one as it is."""
    out = []
    i = 0
    while i < len(text):
        match = CHARACTER.match(text, i)
        if match:
            out.append(chr(int(match.group(1), 16)))
            i = match.end()
        elif text[i] == escape and i + 1 < len(text):
            out.append(text[i + 1])
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def categories(path: Path) -> dict[str, dict[str, list[str] | str]]:
    """Category -> keyword -> its quoted strings, or ("copy", name) as {"copy": name}."""
    escape = "\\"
    lines: list[str] = []
    pending = ""
    for raw in path.read_text(encoding="utf-8", errors="replace").splitlines():
        if raw.startswith("escape_char"):
            escape = raw.split()[1]
        line = pending + raw.strip()
        if line.endswith(escape) and not line.endswith(escape * 2):
            pending = line[:-1]
            continue
        pending = ""
        lines.append(line)
    result: dict[str, dict[str, list[str] | str]] = {}
    current = None
    for line in lines:
        if line.startswith("LC_") and " " not in line:
            current = result.setdefault(line, {})
        elif line.startswith("END "):
            current = None
        elif current is not None and line and not line.startswith(("%", "#")):
            keyword, _, rest = line.partition(" ")
            strings = [unescape(s, escape) for s in re.findall(r'"([^"]*)"', rest)]
            current[keyword] = strings[0] if keyword == "copy" and strings else strings
    return result


def category(name: str, wanted: str, depth: int = 0) -> dict[str, list[str] | str]:
    """A category of a locale with its `copy` resolved."""
    path = LOCALES / name
    if depth > 8 or not path.exists():
        return {}
    own = categories(path).get(wanted, {})
    copied = own.get("copy")
    merged = dict(category(copied, wanted, depth + 1)) if isinstance(copied, str) else {}
    merged.update({k: v for k, v in own.items() if k != "copy"})
    return merged


def first(values: list[str] | str | None) -> str:
    return values[0] if isinstance(values, list) and values else ""


def locale_record(name: str) -> dict[str, str]:
    ident = category(name, "LC_IDENTIFICATION")
    address = category(name, "LC_ADDRESS")
    money = category(name, "LC_MONETARY")
    time = category(name, "LC_TIME")
    record = {
        "locale": name,
        "language": first(ident.get("language")),
        "territory": first(ident.get("territory")),
        "lang_name": first(address.get("lang_name")),
        "country_name": first(address.get("country_name")),
        "currency_symbol": first(money.get("currency_symbol")),
    }
    days = time.get("day")
    months = time.get("mon")
    for i in range(7):
        record[f"day_{i + 1}"] = days[i] if isinstance(days, list) and i < len(days) else ""
    for i in range(12):
        record[f"mon_{i + 1}"] = months[i] if isinstance(months, list) and i < len(months) else ""
    return record


def locale_records() -> list[dict[str, str]]:
    names = sorted(p.name for p in LOCALES.iterdir() if LOCALE_NAME.match(p.name))
    return [locale_record(name) for name in names]


def main() -> None:
    out = HERE / "data"
    out.mkdir(exist_ok=True)
    for name, records in (("packages", package_records()), ("locales", locale_records())):
        path = out / f"{name}.json"
        path.write_text(json.dumps(records, ensure_ascii=False, indent=0) + "\n",
                        encoding="utf-8")
        print(f"{path}: {len(records)} records of {len(records[0])} fields")


if __name__ == "__main__":
    main()
