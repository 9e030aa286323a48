"""Takes the documentation's screenshots of the viewer's three pages with Debian's chromium:
a replay of a short match's games, a short training run watched while it plays
(`vantor train --view`, with its learning curve) and a game against `mc:8`.

    tools/toolchain run --with tools,torch python3 tools/view_screenshots.py [DIRECTORY]

writes view-replay.png, view-watch.png and view-play.png into DIRECTORY (docs/ by default).
The training run takes about five minutes."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from contextlib import ExitStack

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from vantor_gym.match import play_match
from vantor_gym.players import make_player
from vantor_gym.view import Viewer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,1000",
                     "--force-device-scale-factor=1"]:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait(driver: webdriver.Chrome, script: str, timeout: float = 600) -> None:
    WebDriverWait(driver, timeout, poll_frequency=0.2).until(lambda d: d.execute_script(script))


def replay(driver: webdriver.Chrome, work: str, out: str) -> None:
    with ExitStack() as stack:
        a = make_player("search:200", stack, seed=1)
        b = make_player("mc:8", stack)
        result = play_match(a, b, 4, max_plies=160, names=("search:200", "mc:8"), event="vantor match")
    path = os.path.join(work, "match.pgn")
    with open(path, "w") as file:
        file.write("\n".join(result.pgns))
    with Viewer(pgn=path, port=0) as viewer:
        driver.get(viewer.address("replay"))
        wait(driver, "return document.getElementById('main').dataset.game === '0'")
        driver.find_element(By.CSS_SELECTOR, 'tr[data-index="1"]').click()
        wait(driver, "return document.getElementById('main').dataset.game === '1'")
        for _ in range(23):
            driver.find_element(By.CSS_SELECTOR, '[data-action="next"]').click()
        time.sleep(0.5)
        driver.save_screenshot(os.path.join(out, "view-replay.png"))


def watch(driver: webdriver.Chrome, work: str, out: str) -> None:
    run = os.path.join(work, "run")
    command = [sys.executable, "-m", "vantor_gym", "train", "--minutes", "4", "--directory", run, "--view",
               "--channels", "16", "--blocks", "2", "--games", "8", "--simulations", "48", "--eval-every", "1",
               "--eval-games", "6", "--final-games", "2", "--head-to-head-games", "0"]
    with subprocess.Popen(command, stderr=subprocess.PIPE, text=True) as process:
        assert process.stderr is not None
        address = ""
        while not address:
            line = process.stderr.readline()
            if not line:
                raise SystemExit(f"the training run ended before it said where to watch (status {process.wait()})")
            if "watch the run at " in line:
                address = line.split("watch the run at ", 1)[1].strip()
        driver.get(address)
        # Self-play starts after the engine games and imitation; the curve has points by then.
        wait(driver, "const m = document.getElementById('main');"
                     "return Number(m.dataset.plies || 0) >= 24 && Number(m.dataset.curvePoints || 0) >= 4")
        time.sleep(1)
        driver.save_screenshot(os.path.join(out, "view-watch.png"))
        process.terminate()
        process.wait()


def play(driver: webdriver.Chrome, out: str) -> None:
    with Viewer(play="mc:8", port=0) as viewer:
        driver.get(viewer.address("play"))
        wait(driver, "return document.querySelector('.status').textContent === 'Your move'")
        for source, target in [("e2", "e4"), ("g1", "f3"), ("f1", "c4")]:
            plies = int(driver.find_element(By.ID, "main").get_attribute("data-plies") or 0)
            for name in (source, target):
                square = driver.find_element(By.CSS_SELECTOR, f'#main rect.square[data-square="{name}"]')
                ActionChains(driver).move_to_element(square).click().perform()
            wait(driver, f"return Number(document.getElementById('main').dataset.plies) === {plies + 2}")
        square = driver.find_element(By.CSS_SELECTOR, '#main rect.square[data-square="d2"]')
        ActionChains(driver).move_to_element(square).click().perform()  # the legal targets shown
        time.sleep(0.3)
        driver.save_screenshot(os.path.join(out, "view-play.png"))


def main() -> None:
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs"))
    driver = browser()
    try:
        with tempfile.TemporaryDirectory() as work:
            replay(driver, work, out)
            play(driver, out)
            watch(driver, work, out)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
