"""The main job: load the initial position and print it."""

import vantor

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


def main() -> None:
    env = vantor.Vantor()
    env.parse_fen(START)
    env.render()


if __name__ == "__main__":
    main()
