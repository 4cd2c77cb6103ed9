"""The typeahead page in a real browser: Debian's chromium, driven headless
by selenium through chromium-driver, types a misspelt word one key at a
time and reads the suggestions off the page after each key."""

from __future__ import annotations

import os
import shutil

import pytest

from quellnor._serve import load
from served import Served, build_sample_index, gunicorn_missing

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def missing():
    reasons = gunicorn_missing()
    try:
        import selenium  # noqa: F401
    except ImportError:
        reasons.append("selenium is not installed")
    if not CHROMIUM or not DRIVER:
        reasons.append("Debian's chromium and chromium-driver are not installed")
    return "; ".join(reasons)


pytestmark = pytest.mark.skipif(bool(missing()), reason=missing() or "-")


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("page") / "sample.idx")
    build_sample_index(path)
    with Served(path, workers=2) as server:
        yield server, load(path)


@pytest.fixture(scope="module")
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(flag)
    # The driver named outright: selenium would otherwise go looking for one
    # online. The browser is not ours to run under the sanitizers' runtime.
    clean = {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
    driver = webdriver.Chrome(service=Service(executable_path=DRIVER, env=clean), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def shown(browser, selector):
    from selenium.webdriver.common.by import By

    return [element.text for element in browser.find_elements(By.CSS_SELECTOR, selector)]


@pytest.mark.parametrize("word, meant", [("choclate", "chocolate"), ("mountian", "mountain")])
def test_typing_a_misspelt_word_shows_the_suggestions_after_every_key(served, browser, word, meant):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    server, index = served
    browser.get(server.url + "/")
    box = browser.find_element(By.ID, "q")
    results = browser.find_element(By.ID, "results")
    for end in range(1, len(word) + 1):
        typed = word[:end]
        box.send_keys(word[end - 1])
        # The page marks which text its lists answer; earlier answers may still be on display.
        WebDriverWait(browser, 10).until(lambda _: results.get_attribute("data-shown") == typed)
        terms = [term for term, _, _ in index.suggest(typed, 10)]
        videos = [video for video, _ in index.suggest_videos(typed, 10)]
        assert shown(browser, "#terms .term") == terms, typed
        assert shown(browser, "#videos .video") == videos, typed
    assert meant in shown(browser, "#terms .term")
    assert not browser.find_element(By.ID, "status").text
