"""The page in a real headless Chromium: vedhost polls three simulated
meters and serves its page; the browser must show the simulator's values
scaled as the presentation says, follow a change of the meter's values
within two rounds, show a meter going offline when its simulator stops,
draw a chart with points from the history, fit a 360 px wide screen, and
log no console error. A screenshot is kept when a check fails.

Run: page_test.py VEDHOST VED96_SIM SOURCE_DIR OUT_DIR [--screenshot FILE]"""

import functools
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import IMAGES, MissingTools, Rig, find_tools, wait_for  # noqa: E402

try:
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
except ImportError:  # said by find_tools() before any test runs
    pass

ARGS = {}


def cell(driver, meter, signal):
    found = driver.find_elements(
        By.CSS_SELECTOR, f'section[data-meter="{meter}"] td[data-signal="{signal}"]')
    return found[0].text if found else None


def status(driver, meter):
    found = driver.find_elements(By.CSS_SELECTOR, f'section[data-meter="{meter}"] [data-role=status]')
    return found[0].text if found else None


def keeps_screenshot(test):
    @functools.wraps(test)
    def run(self):
        try:
            test(self)
        except BaseException:
            path = os.path.join(ARGS["out"], f"browser-failure-{test.__name__}.png")
            self.driver.save_screenshot(path)
            print(f"screenshot kept: {path}", file=sys.stderr)
            raise
    return run


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(ARGS["vedhost"], ARGS["sim"], ARGS["source"])
        try:
            cls.rig.start_host()
            cls.driver = cls.rig.browser()
            cls.driver.get(cls.rig.url)
        except BaseException:
            cls.rig.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    @keeps_screenshot
    def test_1_values_scaled_as_the_presentation_says(self):
        # Raw register values of examples/presentation.json's meters and the
        # text shown: tenths of a volt, milliamperes, hundredths of a hertz.
        rows = [
            (1, "phase_voltage_a", "256.1"),
            (1, "phase_voltage_c", "229.9"),
            (1, "current_a", "1.234"),
            (1, "frequency", "50.02"),
            (2, "phase_voltage_b", "230.1"),
            (2, "current_c", "0.519"),
            (2, "frequency", "49.99"),
        ]
        for meter, signal, text in rows:
            with self.subTest(meter=meter, signal=signal):
                self.assertEqual(wait_for(lambda: cell(self.driver, meter, signal) == text
                                          and text), text,
                                 f"shown: {cell(self.driver, meter, signal)!r}")
        for meter in (1, 2, 3):
            self.assertEqual(wait_for(lambda: status(self.driver, meter) == "online"), True)
        # The presentation's label names a value.
        va = self.driver.find_element(
            By.CSS_SELECTOR, 'section[data-meter="1"] td[data-signal="phase_voltage_a"]')
        self.assertEqual(va.get_attribute("title"), "Va")

    @keeps_screenshot
    def test_2_a_change_shows_within_two_rounds(self):
        port = self.rig.stop_sim(1)
        changed = dict(IMAGES[1], **{"0": 2400})
        self.rig.start_sim(1, changed, port)
        before = self.rig.api("api/meters/1")["rounds"]
        self.assertTrue(wait_for(lambda: cell(self.driver, 1, "phase_voltage_a") == "240", 60),
                        f"shown: {cell(self.driver, 1, 'phase_voltage_a')!r}")
        after = self.rig.api("api/meters/1")["rounds"]
        self.assertLessEqual(after - before, 2, f"rounds {before} -> {after}")

    @keeps_screenshot
    def test_3_chart_has_points(self):
        # The history commits its records every few seconds: choosing the
        # signal again loads the chart again until the first ones are there.
        select = Select(self.driver.find_element(
            By.CSS_SELECTOR, 'section[data-meter="2"] [data-role=chart-signal]'))

        def points():
            select.select_by_value("phase_voltage_a")
            select.select_by_value("frequency")
            svg = self.driver.find_element(By.CSS_SELECTOR, 'section[data-meter="2"] [data-role=chart]')
            n = wait_for(lambda: int(svg.get_attribute("data-points") or 0), 2)
            return n if n and svg.find_elements(By.CSS_SELECTOR, "polyline") else None
        self.assertTrue(wait_for(points, 60), "no chart drawn")
        polyline = self.driver.find_element(
            By.CSS_SELECTOR, 'section[data-meter="2"] [data-role=chart] polyline')
        self.assertGreater(len(polyline.get_attribute("points").split()), 0)

    @keeps_screenshot
    def test_4_fits_a_narrow_screen(self):
        self.driver.set_window_size(360, 800)
        width = wait_for(lambda: self.driver.execute_script(
            "return window.innerWidth <= 360 && document.documentElement.scrollWidth"))
        self.assertTrue(width)
        self.assertLessEqual(width, self.driver.execute_script("return window.innerWidth"))
        self.driver.set_window_size(1280, 900)

    @keeps_screenshot
    def test_5_a_silent_meter_goes_offline(self):
        self.rig.stop_sim(3)
        self.assertTrue(wait_for(lambda: status(self.driver, 3) == "offline", 60),
                        f"status: {status(self.driver, 3)!r}")
        self.assertEqual(status(self.driver, 1), "online")

    @keeps_screenshot
    def test_9_no_console_error(self):
        errors = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])


def main():
    args = sys.argv[1:]
    screenshot = None
    if "--screenshot" in args:
        at = args.index("--screenshot")
        screenshot = args[at + 1]
        del args[at:at + 2]
    ARGS.update(vedhost=args[0], sim=args[1], source=args[2], out=args[3])
    # Without its browser the test fails, saying what is missing: a suite
    # that passes has tried the page.
    try:
        find_tools()
    except MissingTools as missing:
        print(f"browser test: {missing}", file=sys.stderr)
        return 1
    if screenshot:
        return take_screenshot(screenshot)
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    return 0 if result.wasSuccessful() else 1


def take_screenshot(path):
    """The page of three live meters with a chart, for the documentation."""
    rig = Rig(ARGS["vedhost"], ARGS["sim"], ARGS["source"], interval="1")
    try:
        rig.start_host()
        wait_for(lambda: rig.api("api/meters/1")["rounds"] >= 45, 90)
        driver = rig.browser(1280, 1000)
        driver.get(rig.url)
        wait_for(lambda: status(driver, 3) == "online", 30)
        wait_for(lambda: int(driver.find_element(
            By.CSS_SELECTOR, 'section[data-meter="1"] [data-role=chart]').get_attribute("data-points")
            or 0) > 0, 30)
        height = driver.execute_script("return document.documentElement.scrollHeight")
        driver.set_window_size(1280, height + 20)
        driver.save_screenshot(path)
        return 0
    finally:
        rig.close()


if __name__ == "__main__":
    sys.exit(main())
