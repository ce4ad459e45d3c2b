"""The page in a real browser: headless Chromium driven through Selenium 4.8
(Debian's, which has no driver manager). From the keyboard alone it logs in,
announces an address and sends a frame that a qmclient --listen must receive
byte for byte; then it must show a frame that qmclient --send sent it; a
screenshot of the page is written; last, a wrong password must be shown as
a refused login. Exit code 0 when all held, else 1 with the reason.

    browser_page.py --page URL --port TCP_PORT --log LOG --qmclient PATH --screenshot PNG
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

LOGIN = "alice"
PASSWORD = "s3cret"
WAIT = 15


class Failed(Exception):
    pass


def frame(text):
    data = text.encode()
    return data + bytes([0x80 | (sum(data) & 0xFF)])


def wait_log(args, text):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        with open(args.log, "rb") as log:
            if text in log.read():
                return
        time.sleep(0.05)
    raise Failed("the log never held %r" % text)


def chromium(args, profile):
    options = webdriver.ChromeOptions()
    options.binary_location = args.chromium
    # As root, on a machine without a display, GPU or network beyond loopback.
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1000,900", "--user-data-dir=" + profile):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(args.chromedriver), options=options)


def qmclient(args, *words):
    environment = dict(os.environ, QM_LOGIN=LOGIN, QM_PASSWORD=PASSWORD)
    command = [args.qmclient, *words, "127.0.0.1", str(args.port)]
    return subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def state_is(driver, kind):
    try:
        WebDriverWait(driver, WAIT).until(
            lambda d: d.find_element(By.ID, "state").get_attribute("data-state") == kind)
    except WebDriverException:
        raise Failed("the page's state never became %r; it says %r" %
                     (kind, driver.find_element(By.ID, "state").text))


def type_into(driver, element_id, text):
    """Types into the field that has the focus, which must be element_id."""
    field = driver.switch_to.active_element
    check_focus(field, element_id)
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(text)


def check_focus(element, element_id):
    if element.get_attribute("id") != element_id:
        raise Failed("the keyboard's focus is on %r, not %r" % (element.get_attribute("id"), element_id))


def run(args, driver):
    driver.get(args.page)
    if driver.title != "QuillmarshServer":
        raise Failed("the page's title is %r" % driver.title)
    driver.find_element(By.TAG_NAME, "body").send_keys(Keys.TAB)
    type_into(driver, "login", LOGIN)
    driver.switch_to.active_element.send_keys(Keys.TAB)
    type_into(driver, "password", PASSWORD)
    driver.switch_to.active_element.send_keys(Keys.ENTER)
    state_is(driver, "online")
    wait_log(args, b"logged in: [127.0.0.1] ws")

    listener = qmclient(args, "--listen", "tcp", "--count", "1", "--timeout", str(WAIT), "--hex")
    wait_log(args, b'hello "tcp" "tcp"')
    # After the login the message field has the focus; the address field
    # is three steps back, then Tab by Tab forward again.
    check_focus(driver.switch_to.active_element, "message")
    for _ in range(3):
        driver.switch_to.active_element.send_keys(Keys.SHIFT, Keys.TAB)
    type_into(driver, "address", "web")
    driver.switch_to.active_element.send_keys(Keys.ENTER)
    wait_log(args, b'hello "web" "web"')
    for _ in range(2):
        driver.switch_to.active_element.send_keys(Keys.TAB)
    type_into(driver, "to", "tcp")
    driver.switch_to.active_element.send_keys(Keys.TAB)
    type_into(driver, "message", "hello from the page")
    driver.switch_to.active_element.send_keys(Keys.ENTER)
    out, err = listener.communicate(timeout=WAIT + 5)
    expected = " ".join("%02x" % b for b in frame('say "web" "tcp" hello from the page'))
    if listener.returncode != 0 or out.decode().strip() != expected:
        raise Failed("qmclient --listen: exit %d, %r, not %r (%s)" %
                     (listener.returncode, out.decode().strip(), expected, err.decode().strip()))

    sender = qmclient(args, "--send", 'say "tcp" "web" hello from a terminal')
    sender.communicate(timeout=WAIT + 5)
    WebDriverWait(driver, WAIT).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#frames tbody tr")) == 1)
    cells = [cell.text for cell in driver.find_elements(By.CSS_SELECTOR, "#frames tbody td")]
    if cells[1:] != ["tcp", "web", "hello from a terminal"]:
        raise Failed("the page shows %r" % cells)
    os.makedirs(os.path.dirname(args.screenshot), exist_ok=True)
    if not driver.save_screenshot(args.screenshot):
        raise Failed("no screenshot written to " + args.screenshot)

    driver.find_element(By.ID, "disconnect").send_keys(Keys.ENTER)
    state_is(driver, "closed")
    password = driver.find_element(By.ID, "password")
    password.send_keys(Keys.CONTROL, "a")
    password.send_keys("wrong", Keys.ENTER)
    state_is(driver, "refused")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--qmclient", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    parser.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as profile:
        driver = chromium(args, profile)
        try:
            run(args, driver)
        except (Failed, WebDriverException, subprocess.TimeoutExpired) as error:
            print("browser: %s: %s" % (type(error).__name__, error), file=sys.stderr)
            return 1
        finally:
            driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
