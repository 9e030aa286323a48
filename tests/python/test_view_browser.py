"""The viewer's pages in a real browser: Debian's chromium, headless, driven by Selenium
through chromium-driver. The board's pieces are checked against python-chess."""

import io
import json
import os
import random
import shutil
import threading

import numpy as np
import pytest

from conftest import SANITIZED

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
webdriver = pytest.importorskip("selenium.webdriver")
chess = pytest.importorskip("chess")
pytest.importorskip("chess.pgn")

from selenium.common.exceptions import TimeoutException  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

import vantor  # noqa: E402
from vantor_gym.render import board_image, board_svg  # noqa: E402
from vantor_gym.view import GameFeed, Viewer  # noqa: E402

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
pytestmark = [
    pytest.mark.skipif(not (CHROMIUM and DRIVER), reason="Debian's chromium and chromium-driver are not installed"),
    # The browser would start with the sanitizer's runtime preloaded; the server's own
    # tests cover the module under the sanitizer.
    pytest.mark.skipif(SANITIZED, reason="the browser does not run under the sanitizer's preload"),
]


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1200,900", "--force-device-scale-factor=1"]:
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def _wait(driver, condition, timeout=60):
    """Until ``condition(driver)`` is true; a loaded machine gets a minute."""
    try:
        return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: condition(d))
    except TimeoutException:
        raise AssertionError(f"the page did not get there: {driver.find_element(By.ID, 'main').text[:300]}") from None


def _shown(driver):
    """The board's pieces as the page shows them, by square."""
    pairs = driver.execute_script(
        "return [...document.querySelectorAll('#main svg.vantor-board g.piece')]"
        ".map(g => [g.dataset.square, g.dataset.piece])")
    return dict(pairs)


def _pieces(board):
    return {chess.square_name(square): piece.symbol() for square, piece in board.piece_map().items()}


def _main(driver, name):
    return driver.find_element(By.ID, "main").get_attribute(f"data-{name}")


def _games_file(tmp_path, count):
    rng = random.Random(5)
    texts = []
    for index in range(count):
        board = chess.Board()
        for _ in range(rng.randrange(4, 40)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
        game = chess.pgn.Game.from_board(board)
        game.headers["White"] = f"white {index}"
        texts.append(str(game))
    path = tmp_path / "games.pgn"
    path.write_text("\n\n".join(texts) + "\n")
    return path, texts


def test_replay_steps_through_a_game_by_buttons_and_keys(browser, tmp_path):
    path, texts = _games_file(tmp_path, 120)
    with Viewer(pgn=path, port=0) as viewer:
        browser.get(viewer.address("replay"))
        _wait(browser, lambda d: _main(d, "game") == "0")
        browser.find_element(By.CSS_SELECTOR, 'tr[data-index="3"]').click()
        _wait(browser, lambda d: _main(d, "game") == "3")
        game = chess.pgn.read_game(io.StringIO(texts[3]))
        board = game.board()
        moves = list(game.mainline_moves())
        assert _shown(browser) == _pieces(board)
        for ply, move in enumerate(moves, start=1):
            if ply % 2:
                browser.find_element(By.CSS_SELECTOR, '[data-action="next"]').click()
            else:
                browser.find_element(By.TAG_NAME, "body").send_keys(Keys.ARROW_RIGHT)
            board.push(move)
            _wait(browser, lambda d: _main(d, "ply") == str(ply))
            assert _shown(browser) == _pieces(board)
            fen = browser.find_element(By.CSS_SELECTOR, "input.fen-text").get_attribute("value")
            assert fen == board.fen()
        browser.find_element(By.TAG_NAME, "body").send_keys(Keys.HOME)
        _wait(browser, lambda d: _main(d, "ply") == "0")
        assert _shown(browser) == _pieces(chess.Board())
        browser.find_element(By.CSS_SELECTOR, '[data-action="next-page"]').click()
        _wait(browser, lambda d: _main(d, "page") == "1")
        assert "page 2 of 3 (120 games)" in browser.find_element(By.CLASS_NAME, "page-number").text
        assert browser.find_element(By.CSS_SELECTOR, "a.download").get_attribute("href").endswith("/api/games/3/pgn")


def _square(driver, name):
    return driver.find_element(By.CSS_SELECTOR, f'#main rect.square[data-square="{name}"]')


def _click(driver, name):
    """A click on the square, as a person clicks: whatever lies on it takes the click."""
    ActionChains(driver).move_to_element(_square(driver, name)).click().perform()


def test_play_answers_e2e4_and_snaps_an_illegal_drag_back(browser):
    with Viewer(play="mc:1", port=0) as viewer:
        browser.get(viewer.address("play"))
        _wait(browser, lambda d: d.find_element(By.CLASS_NAME, "status").text == "Your move")
        _click(browser, "e2")
        _wait(browser, lambda d: d.find_elements(By.CSS_SELECTOR, "circle.target"))
        _click(browser, "e4")
        _wait(browser, lambda d: _main(d, "plies") == "2")
        board = chess.Board()
        board.push_san("e4")
        reply = browser.find_elements(By.CSS_SELECTOR, ".moves .move")[1].text
        board.push_san(reply)
        assert _shown(browser) == _pieces(board)
        before = _shown(browser)
        piece = browser.find_element(By.CSS_SELECTOR, '#main g.piece[data-square="d2"]')
        ActionChains(browser).click_and_hold(piece).move_to_element(_square(browser, "d5")).release().perform()
        _wait(browser, lambda d: d.find_element(By.ID, "error").is_displayed())
        assert "not a legal move" in browser.find_element(By.ID, "error").text
        assert _shown(browser) == before and _main(browser, "plies") == "2"
        browser.find_element(By.CSS_SELECTOR, '[data-action="undo"]').click()
        _wait(browser, lambda d: _main(d, "plies") == "0")
        assert _shown(browser) == _pieces(chess.Board())


def test_watch_shows_self_play_moves_as_they_arrive(browser):
    from vantor_gym.train.replay import ReplayBuffer
    from vantor_gym.train.selfplay import SelfPlay

    feed = GameFeed()
    selfplay = SelfPlay("roll_out", games=2, simulations=8, max_plies=60, seed=1, threads=1, feed=feed)
    stop = threading.Event()

    def play():
        buffer = ReplayBuffer(10_000)
        while not stop.is_set():
            selfplay.play(1, buffer)

    with Viewer(feed=feed, port=0) as viewer:
        player = threading.Thread(target=play)
        player.start()
        try:
            browser.get(viewer.address("watch"))
            _wait(browser, lambda d: int(_main(d, "plies") or 0) >= 6)
            seen = int(_main(browser, "plies"))
            _wait(browser, lambda d: int(_main(d, "plies") or 0) > seen or _main(d, "game") != "1")
        finally:
            stop.set()
            player.join()
            selfplay.close()
        # Read in one go, so that no move arrives between the list and the board.
        sans, pieces = browser.execute_script(
            "return [[...document.querySelectorAll('.moves .move')].map(m => m.textContent),"
            " [...document.querySelectorAll('#main svg.vantor-board g.piece')]"
            ".map(g => [g.dataset.square, g.dataset.piece])]")
        board = chess.Board()
        for san in sans:
            board.push_san(san)
        assert sans and dict(pieces) == _pieces(board)
        assert browser.find_elements(By.CSS_SELECTOR, ".search .top-move")


def test_watch_charts_the_run_log_and_its_new_records(browser, tmp_path):
    def record(opponent, minutes, score):
        return {"opponent": opponent, "minutes": minutes, "score": score, "score_low": score - 0.1,
                "score_high": score + 0.1}

    log = tmp_path / "log.jsonl"
    log.write_text("".join(json.dumps(record(o, m, m / 100)) + "\n" for o in ("random", "stockfish") for m in (15, 30, 45)))
    with Viewer(run=tmp_path, port=0) as viewer:
        browser.get(viewer.address("watch"))
        _wait(browser, lambda d: _main(d, "curve-points") == "6")
        assert len(browser.find_elements(By.CSS_SELECTOR, ".chart polyline")) == 2
        with log.open("a") as out:
            out.write(json.dumps(record("random", 60, 0.9)) + "\n")
        _wait(browser, lambda d: _main(d, "curve-points") == "7")
        assert len(browser.find_elements(By.CSS_SELECTOR, ".chart circle.point")) == 7


def test_the_svg_board_and_the_picture_agree_in_the_browser(browser, tmp_path):
    env = vantor.Vantor()
    env.reset()
    env.parse_fen("r1bqk2r/pppp1ppp/2n2n2/2b1p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4")
    state = env.save_state()
    page = tmp_path / "board.html"
    page.write_text(f'<body style="margin:0">{board_svg(state, last_move=(12, 28), size=256)}</body>')
    browser.get(page.as_uri())
    shot = browser.find_element(By.TAG_NAME, "svg").screenshot_as_png
    from PIL import Image

    drawn = np.asarray(Image.open(io.BytesIO(shot)).convert("RGB"), np.float32)
    expected = board_image(state, last_move=(12, 28), size=256).astype(np.float32)
    assert drawn.shape == expected.shape
    # Anti-aliasing differs along the glyphs' edges, nowhere else.
    assert np.mean(np.abs(drawn - expected)) < 4.0
    assert np.mean(np.abs(drawn - expected) > 60) < 0.02
