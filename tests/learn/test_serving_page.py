"""The page `ombrel serve` answers at `/`, driven in a real browser (headless Chromium through its
WebDriver): it must show what the JSON endpoints answer, offer feedback only where the server takes
writes, and be gone with --no-page."""

import os
import shutil
import urllib.error
import urllib.request

import pytest
from ombrel_learn import OmbrelClassifier

from test_serving_trust import TEXT, TOKEN, Served, http

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


def _browser_or_skip():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        webdriver = None
    missing = [name for name, found in (("selenium", webdriver), ("chromium", CHROMIUM), ("chromedriver", DRIVER))
               if not found]
    if missing:
        message = f"no browser to drive ({', '.join(missing)} missing; tools/run_tests.sh installs them)"
        if os.environ.get("OMBREL_REQUIRE_BROWSER"):
            pytest.fail(message)
        pytest.skip(message)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1000,900"):
        options.add_argument(argument)
    # The browser is not the code under test: it runs without a sanitizer runtime the suite may preload.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return webdriver.Chrome(options=options, service=Service(executable_path=DRIVER, env=env))


@pytest.fixture
def browser():
    driver = _browser_or_skip()
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture
def folder(tmp_path):
    texts = ["rocket orbit planet galaxy launch", "star telescope orbit moon", "bread oven flour butter",
             "soup pepper salt kitchen", "goal match striker league", "coach stadium match referee"] * 8
    labels = ["space", "space", "food", "food", "sport", "sport"] * 8
    path = tmp_path / "model"
    OmbrelClassifier(learner="field", features="words", epochs=4).fit(texts, labels).save(path)
    return str(path)


def _wait(driver, condition, timeout=20):
    from selenium.webdriver.support.ui import WebDriverWait
    return WebDriverWait(driver, timeout).until(condition)


def _classify(driver, port, text):
    from selenium.webdriver.common.by import By
    driver.get(f"http://127.0.0.1:{port}/")
    _wait(driver, lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
    assert driver.find_element(By.ID, "error").text == ""
    box = driver.find_element(By.ID, "text")
    box.clear()
    box.send_keys(text)
    driver.find_element(By.ID, "classify").click()
    _wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#reading span"))
    rows = driver.find_elements(By.CSS_SELECTOR, "#labels li")
    shown = [(row.find_element(By.CLASS_NAME, "label").text, float(row.find_element(By.CLASS_NAME, "p").text))
             for row in rows]
    reading = [(span.text, int(span.get_attribute("data-delta")))
               for span in driver.find_elements(By.CSS_SELECTOR, "#reading span")]
    return shown, reading


def test_the_page_shows_the_endpoints_answers_and_takes_feedback_only_with_writes(browser, folder, tmp_path):
    from selenium.webdriver.common.by import By
    with Served(folder, "--allow-writes", token=TOKEN) as server:
        server.wait_ready()
        shown, reading = _classify(browser, server.port, TEXT)
        status, ranked = http(server.port, "POST", "/predict", {"text": TEXT, "k": 5})
        assert status == 200
        assert [label for label, _ in shown] == ranked["labels"]
        assert [p for _, p in shown] == pytest.approx(ranked["probabilities"], abs=5e-4)
        explained = http(server.port, "POST", "/explain", {"text": TEXT, "k": 1, "in_order": True})[1]
        assert reading == [(feature, a - b) for feature, a, b in explained["in_order"]]
        assert [feature for feature, _ in reading] == TEXT.split()
        # Nothing refused by the page's own policy (its script and style by hash), nothing missing.
        assert not [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
        shot = tmp_path / "page.png"
        assert browser.save_screenshot(str(shot))
        assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and shot.stat().st_size > 5000

        # Feedback: a wrong token is refused on the page; the right one teaches the model.
        assert browser.find_element(By.ID, "feedback").is_displayed()
        from selenium.webdriver.support.ui import Select
        labels = Select(browser.find_element(By.ID, "label"))
        assert sorted(o.text for o in labels.options) == ["food", "space", "sport"]
        # The form offers the predicted label, and says a refusal beside itself.
        predicted = http(server.port, "POST", "/predict", {"text": TEXT})[1]["label"]
        assert labels.first_selected_option.text == predicted
        labels.select_by_visible_text("food")
        browser.find_element(By.ID, "token").send_keys("not-the-token-0123456789")
        browser.find_element(By.ID, "send").click()
        _wait(browser, lambda d: "token" in d.find_element(By.ID, "learned").text)
        token = browser.find_element(By.ID, "token")
        token.clear()
        token.send_keys(TOKEN)
        for _ in range(30):
            browser.find_element(By.ID, "send").click()
            _wait(browser, lambda d: d.find_element(By.ID, "learned").text)
            if http(server.port, "POST", "/predict", {"text": TEXT})[1]["label"] == "food":
                break
        else:
            pytest.fail("30 updates from the page did not teach the model")

    with Served(folder) as server:  # no writes: no form
        server.wait_ready()
        _classify(browser, server.port, TEXT)
        assert not browser.find_element(By.ID, "feedback").is_displayed()


def test_the_page_is_locked_down_and_can_be_turned_off(folder):
    with Served(folder) as server:
        server.wait_ready()
        with urllib.request.urlopen(f"http://127.0.0.1:{server.port}/", timeout=10) as response:
            policy = response.headers["Content-Security-Policy"]
            assert response.headers["Content-Type"].startswith("text/html")
            assert b"<textarea" in response.read()
        assert "frame-ancestors 'none'" in policy and "connect-src 'self'" in policy
        assert "unsafe-inline" not in policy
        # The features in reading order are bounded: an answer must not grow far beyond its request.
        long = http(server.port, "POST", "/explain", {"text": "rocket orbit " * 3000, "in_order": True})[1]
        assert len(long["in_order"]) == 5000 and long["in_order_complete"] is False
        short = http(server.port, "POST", "/explain", {"text": "rocket orbit", "in_order": True})[1]
        assert short["in_order_complete"] is True and [f for f, _, _ in short["in_order"]] == ["rocket", "orbit"]
    with Served(folder, "--no-page") as server:
        server.wait_ready()
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(f"http://127.0.0.1:{server.port}/", timeout=10)
        assert refused.value.code == 404
