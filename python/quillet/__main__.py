"""python -m quillet: the command-line entry of the package."""

import argparse
import sys

import _quillet


def demo() -> int:
    """Shows what the native core offers today."""
    print(f"_quillet {_quillet.__version__}: the sans-IO HTTP core of quillet")
    print(f"{len(_quillet.__all__)} exported names\n")

    print("Exception classes:")
    for name in _quillet.__all__:
        obj = getattr(_quillet, name)
        if isinstance(obj, type) and issubclass(obj, BaseException):
            first_line = obj.__doc__.splitlines()[0]
            print(f"  {name:<26} <- {obj.__base__.__name__:<14} {first_line}")

    print("\nVerdict codes an HTTP/1 server driver acts on:")
    for name in _quillet.__all__:
        if name.startswith(("H1_NEXT_", "H1_READ_")):
            print(f"  {name:<20} = {getattr(_quillet, name)}")

    print(f"\nHTTP/2 connection preface: {_quillet.H2_PREFACE!r}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quillet")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="show what the native core offers")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo()
    return 2


if __name__ == "__main__":
    sys.exit(main())
