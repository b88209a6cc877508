"""Tries an installed wheel: run by the interpreter of a fresh virtual environment into
which only the wheel was installed, with the system's copies of the libraries that the
wheel carries hidden (tools/commands.sh, try_wheel).

    venv/bin/python -I tools/try_wheel.py SONAME...

For each SONAME (such as libsimdutf.so.35) the system's copy must fail to load; the
modules must then import, round-trip a dict, a list, a stream and non-ASCII text, and have each
carried library mapped from the wheel's own folder inside the environment.
"""
import ctypes
import io
import os
import sys


def system_copy_loads(soname: str) -> bool:
    try:
        ctypes.CDLL(soname)
    except OSError:
        return False
    return True


def mapped_files() -> set[str]:
    with open("/proc/self/maps") as maps:
        return {line.split(maxsplit=5)[5].strip() for line in maps if len(line.split()) == 6}


def main(sonames: list[str]) -> None:
    for soname in sonames:
        assert not system_copy_loads(soname), f"the system's {soname} is still reachable"

    import zav.serializer as serializer

    assert serializer.__file__.startswith(sys.prefix + os.sep), serializer.__file__
    record = {"name": "Zoë", "город": "Москва", "emoji": "🙂", "": ""}
    assert serializer._deserialize_dict(serializer._serialize_dict(record)) == record
    items = ["a", "größer", "東京", "", "🙂" * 3]
    assert serializer._deserialize_list(serializer._serialize_list(items)) == items
    import zav.stream as stream

    assert stream.__file__.startswith(sys.prefix + os.sep), stream.__file__
    file = io.BytesIO()
    stream.write_dicts(file, [record, {}, record])
    assert list(stream.read_dicts(io.BytesIO(file.getvalue()))) == [record, {}, record]
    text = "Grüße, 世界"
    assert serializer.encode(text) == text.encode()
    assert serializer.decode(serializer.encode(text)) == text

    package_dir = os.path.dirname(os.path.dirname(serializer.__file__))
    for soname in sonames:
        stem = soname.split(".so")[0] + "-"
        carried = [path for path in mapped_files() if os.path.basename(path).startswith(stem)]
        assert carried and all(path.startswith(package_dir + os.sep) for path in carried), carried
        print(f"{soname}: loaded from {carried[0]}")
    print(f"round trips pass with {serializer.__file__}")


if __name__ == "__main__":
    main(sys.argv[1:])
