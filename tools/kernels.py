"""Which simdutf kernels a process runs, once zav.serializer is imported: the suite's
summary shows them (tests/conftest.py), and the runs per kernel level check them
(tools/commands.sh, tools/fuzz.sh), so that a SIMDUTF_FORCE_IMPLEMENTATION that simdutf
ignored cannot pass for a run on other kernels.

    python tools/kernels.py [--expect NAME]   print the name; with --expect, exit 1
                                              unless the kernels are NAME
"""
import ctypes
import os
import sys


def loaded_simdutf() -> str:
    """The file of the simdutf that this process loaded (the system's, or a wheel's own)."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(maxsplit=5)[5].strip() if len(line.split()) == 6 else ""
            if os.path.basename(path).startswith("libsimdutf"):
                return path
    raise RuntimeError("simdutf is not loaded")


def active_kernels() -> str:
    """The name of simdutf's active implementation. simdutf::get_active_implementation()
    returns a holder of a pointer to the implementation, a polymorphic class whose first
    member, after its vtable pointer, is its name (simdutf/implementation.h)."""
    import zav.serializer  # noqa: F401 - loads simdutf, and its import picks the kernels

    library = ctypes.CDLL(loaded_simdutf())
    get_active = library["_ZN7simdutf25get_active_implementationEv"]
    get_active.restype = ctypes.c_void_p
    implementation = ctypes.c_void_p.from_address(get_active()).value
    assert implementation is not None
    name = ctypes.c_char_p.from_address(implementation + ctypes.sizeof(ctypes.c_void_p)).value
    assert name is not None
    return name.decode()


def main(args: list[str]) -> None:
    name = active_kernels()
    print(f"simdutf kernels: {name}")
    if args[:1] == ["--expect"] and name != args[1]:
        sys.exit(f"simdutf runs its {name} kernels, not {args[1]}")


if __name__ == "__main__":
    main(sys.argv[1:])
