#!/usr/bin/python3
"""Times the viewer page of a running crserve in headless Chromium: from asking for the page to the
first screen of tiles fully drawn, a few times with the browser's cache emptied each time.

  first_screen.py URL [RUNS]
"""
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

FULLY_LOADED = """
  const v = window.viewer;
  return !!(v && v.world.getItemCount() > 0 && v.world.getItemAt(0).getFullyLoaded() && !v.world.needsDraw());
"""


def main():
    url, runs = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 3
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,800"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        for run in range(runs):
            driver.execute_cdp_cmd("Network.clearBrowserCache", {})
            start = time.monotonic()
            driver.get(url)
            while not driver.execute_script(FULLY_LOADED):
                if time.monotonic() - start > 30:
                    print("first screen: not within 30 s")
                    return 1
                time.sleep(0.01)
            tiles = driver.execute_script(
                'return performance.getEntriesByType("resource").filter(e => e.name.endsWith(".jpg")).length;')
            print("first screen %d: %.2f s, %d tiles" % (run + 1, time.monotonic() - start, tiles))
    finally:
        driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
