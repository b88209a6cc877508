"""Checks a source distribution (tools/commands.sh, make_sdist): it holds every file a
build needs, and nothing of a local build: each file in it is one of the checkout's,
unchanged, that .gitignore does not exclude (in a fresh clone: a file under version
control).

    python tools/check_sdist.py SDIST
"""
import os
import sys
import tarfile

import pathspec

NEEDED = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "zav/__init__.py", "zav/inspect.py",
          "zav/stream.py", "zav/typed.py", "zav/dask.py", "zav/serializer.pyi", "zav/_stream.pyi", "zav/py.typed"]


def main(sdist: str) -> None:
    with open(".gitignore") as ignore:
        ignored = pathspec.GitIgnoreSpec.from_lines(ignore)
    files: dict[str, bytes] = {}
    with tarfile.open(sdist) as archive:
        for member in archive.getmembers():
            if member.isfile():
                data = archive.extractfile(member)
                assert data is not None
                files[member.name.split("/", 1)[1]] = data.read()
    problems = []
    for name, data in sorted(files.items()):
        if name == "PKG-INFO":
            continue
        if ignored.match_file(name) or not os.path.isfile(name):
            problems.append(f"{name} is not a source file of the checkout")
        else:
            with open(name, "rb") as source:
                if source.read() != data:
                    problems.append(f"{name} differs from the checkout's")
    sources = sorted(os.path.join("src", name) for name in os.listdir("src"))
    problems += [f"{name} is missing" for name in NEEDED + sources + ["PKG-INFO"] if name not in files]
    if problems:
        sys.exit(f"{os.path.basename(sdist)}: " + "; ".join(problems))
    print(f"{os.path.basename(sdist)}: {len(files)} files, each a source file of the checkout, "
          f"every file under src/ among them")


if __name__ == "__main__":
    main(sys.argv[1])
