"""The pages zemb_pano --viewer writes, opened from their folder (file://) in
headless Chromium through chromedriver: no console error, the panorama shown
(the deep-zoom page matching the flat render), deeper tiles fetched when the
view zooms in, and the 360-degree page drawing the sphere.

Run by ctest with ZEMB_PANO naming the program and ZEMB_SOURCE_DIR the
sources; skipped, saying why, where Chromium or its driver is missing."""
import os
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if CHROMIUM is None or DRIVER is None:
    pytest.skip("Chromium and chromedriver (Debian's chromium, chromium-driver) are not installed",
                allow_module_level=True)

from PIL import Image  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402

SOURCES = Path(os.environ.get("ZEMB_SOURCE_DIR", Path(__file__).resolve().parents[2]))
ZEMB_PANO = os.environ.get("ZEMB_PANO", "")
# Screenshots are kept here for a person to look at.
SHOTS = Path(os.environ.get("ZEMB_VIEWER_SHOTS", "/tmp/zemb_viewer_shots"))
WIDTH, HEIGHT = 1000, 700
SMALL_WIDTH, SMALL_HEIGHT = 480, 360


def run_pano(*args):
    if not ZEMB_PANO:
        pytest.skip("ZEMB_PANO does not name zemb_pano (ctest sets it)")
    result = subprocess.run([ZEMB_PANO, *map(str, args)], capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={WIDTH},{HEIGHT}",
                 "--use-angle=swiftshader", "--enable-unsafe-swiftshader"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    yield driver
    driver.quit()


def wait_for(browser, script, seconds=60):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = browser.execute_script(script)
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError(f"waited {seconds} s for: {script}")


def console_errors(browser):
    return [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def screenshot(browser, name):
    SHOTS.mkdir(parents=True, exist_ok=True)
    path = SHOTS / name
    browser.save_screenshot(str(path))
    return np.asarray(Image.open(path).convert("RGB"), dtype=np.float32)


def open_page(browser, folder):
    browser.get((folder / "view.html").as_uri())
    assert browser.execute_script("return typeof window.zembViewer") == "object"


OSD_DRAWN = ("var v = window.zembViewer, item = v && v.world.getItemAt(0);"
             " return !!item && item.getFullyLoaded() && !v.viewport.isAnimating"
             " && !(v.viewport.getZoom(true) !== v.viewport.getZoom(false));")


def shown_rectangle(browser):
    """The image's rectangle on the page, CSS pixels: x, y, width, height."""
    return browser.execute_script(
        "var v = window.zembViewer, r = v.viewport.viewportToViewerElementRectangle("
        "v.world.getItemAt(0).getBounds(true)); return [r.x, r.y, r.width, r.height];")


def drawn_levels(browser):
    """The pyramid levels of the tiles the viewer drew last."""
    return browser.execute_script("return window.zembViewer.world.getItemAt(0).lastDrawn.map(t => t.level)")


@pytest.fixture(scope="module")
def pyramid(tmp_path_factory):
    """A flat sweep finished tile by tile, with its page."""
    out = tmp_path_factory.mktemp("pyramid")
    run_pano(SOURCES / "data" / "life_sweep", "--pyramid", "--viewer", "--set", "render.tile_size=256", "-o", out)
    return out


def test_deep_zoom_page_shows_the_pyramid_and_zooms_into_deeper_tiles(browser, pyramid):
    assert (pyramid / "finished.dzi").exists() and (pyramid / "finished.png").exists()
    # A window small enough that the panorama fits it at a fraction of its
    # pixels: the pyramid's deepest level is left for the zoom.
    browser.set_window_size(SMALL_WIDTH, SMALL_HEIGHT)
    open_page(browser, pyramid)
    wait_for(browser, OSD_DRAWN)
    shot = screenshot(browser, "deep_zoom_fit.png")
    assert console_errors(browser) == []

    # The page shows the flat render where it draws the image: compare the
    # panorama, reduced to the rectangle it fills, with those pixels.
    x, y, w, h = (round(v) for v in shown_rectangle(browser))
    ratio = shot.shape[1] / browser.execute_script("return window.innerWidth")
    inner = shot[int(y * ratio):int((y + h) * ratio), int(x * ratio):int((x + w) * ratio)]
    assert inner.std() > 20, "the page is blank"
    # Compared in blocks of about 8 pixels: the viewer resamples its tiles
    # its own way, and a fraction of a pixel's offset must not count.
    blocks = (max(1, inner.shape[1] // 8), max(1, inner.shape[0] // 8))
    shown = np.asarray(Image.fromarray(inner.astype(np.uint8)).resize(blocks, Image.BOX), dtype=np.float32)
    flat = Image.open(pyramid / "finished.png").convert("RGB")
    flat = np.asarray(flat.resize(blocks, Image.BOX), dtype=np.float32)
    assert np.abs(shown - flat).mean() < 8
    assert np.abs(shown - flat[::-1]).mean() > 2 * np.abs(shown - flat).mean(), "too alike to tell"

    # Zoomed in all the way, the viewer fetches and draws the pyramid's
    # deepest level, which the fitted view did not need.
    deepest = browser.execute_script("return window.zembViewer.source.maxLevel")
    assert max(drawn_levels(browser)) < deepest
    browser.execute_script(
        "window.zembLevels = []; window.zembViewer.addHandler('tile-loaded',"
        " function (e) { window.zembLevels.push(e.tile.level); });")
    browser.execute_script("var v = window.zembViewer; v.viewport.zoomTo(v.viewport.getMaxZoom());")
    wait_for(browser, OSD_DRAWN)
    assert deepest in browser.execute_script("return window.zembLevels")
    assert max(drawn_levels(browser)) == deepest
    screenshot(browser, "deep_zoom_in.png")
    assert console_errors(browser) == []


def test_sphere_page_draws_the_equirectangular_image(browser, tmp_path):
    browser.set_window_size(WIDTH, HEIGHT)
    run_pano("--viewer", "--equirectangular", SOURCES / "data" / "equirect" / "bma_park.jpg", "-o", tmp_path)
    open_page(browser, tmp_path)
    wait_for(browser, "return window.zembViewer.isLoaded()")
    time.sleep(1)  # the first frames fade in
    shot = screenshot(browser, "sphere.png")
    assert console_errors(browser) == []
    assert shot.std() > 20, "the page is blank"
    browser.execute_script("window.zembViewer.setYaw(90, false);")
    time.sleep(0.5)
    turned = screenshot(browser, "sphere_turned.png")
    assert np.abs(turned - shot).mean() > 10, "turning the view changed nothing"
