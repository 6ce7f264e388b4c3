"""Main example: prints what the installed qel package offers."""

import qel


def main() -> None:
    print(f"qel {qel.__version__}")


if __name__ == "__main__":
    main()
