"""Command-line entry of quorvane."""

import argparse
import sys


def _info(args):
    import torch

    from quorvane import marlune
    print(f"quorvane: torch {torch.__version__}")
    for module in (marlune,):
        names = [n for n in vars(module) if not n.startswith("__")]
        print(f"{module.__name__}: {', '.join(names)}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="quorvane", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("info", help="show what the installed package holds").set_defaults(run=_info)
    args = parser.parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
