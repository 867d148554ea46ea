#!/usr/bin/env python3
"""Runs vindral.exe under Wine against `vindral-server --demo` on a loopback port.

  vindral_demo.py run          show the window on $DISPLAY until it is closed; without a
                               DISPLAY, on a private Xvfb: keep a screenshot and close it
  vindral_demo.py screenshots  the three looks, the menu, the dialogs, a fired alert and the
                               table and strip with the kimchi premium as PNG files in docs/

Used by scripts/run.sh (make run) and scripts/screenshots.sh, which build the programs first.
Nothing here reaches beyond 127.0.0.1.
"""

import argparse
import os
import re
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from harness import Session, TestFailure, ini_of, stop_process, wait_for, write_ini  # noqa: E402

GREEN = (46, 204, 113)
RISE_RED = (240, 80, 80)
TRAY_ICON = (12, 32)
VK_M = 0x4D
WM_CLOSE = 0x0010
MSG_TEST_ALERT_PRICE = 0x8000 + 20
CMD_ALERTS = 120
# Controls of the price alert dialog.
ID_ALERTS_COIN, ID_ALERTS_KIND, ID_ALERTS_VALUE, ID_ALERTS_MINUTES = 1102, 1103, 1104, 1105
ID_ALERTS_ADD = 1107
IDOK = 1


class Config:
    pass


def start_server(binary, log_path):
    """Starts the demo server on a port the system picks; returns (process, port)."""
    log = open(log_path, "wb")
    proc = subprocess.Popen([binary, "--demo", "--listen", "127.0.0.1:0"],
                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    log.close()

    def port():
        if proc.poll() is not None:
            raise TestFailure(f"vindral-server exited with {proc.returncode}; see {log_path}")
        match = re.search(rb"listening on 127\.0\.0\.1:(\d+)", open(log_path, "rb").read())
        return int(match.group(1)) if match else None

    try:
        return proc, wait_for(port, 30, "vindral-server to listen")
    except BaseException:
        stop_process(proc)
        raise


def window_shot(s, path, margin=0):
    shot = s.screenshot()
    x, y, w, h = s.rect()
    shot.save_png(path, (x - margin, y - margin, x + w + margin, y + h + margin))
    print(f"wrote {path}")


def wait_for_prices(s, dot=(14, 15)):
    """The status dot turns green once every shown price is fresh."""
    def green():
        x, y, _, _ = s.rect()
        return s.screenshot().pixel(x + dot[0], y + dot[1]) == GREEN
    wait_for(green, 60, "fresh prices (a green status dot)")


def start(s, url, **ini):
    write_ini(s.ini_path(), ini_of(ServerUrl=url, **ini))
    app = s.start_app()
    s.driver("wait", "main", 60000)
    return app


def close(s, app):
    s.driver("post", "main", WM_CLOSE, 0, 0)
    app.wait(timeout=30)


def run(s, url, headless, screenshot_path):
    app = start(s, url, IntervalSec="2")
    if not headless:
        print("vindral.exe is running; close its window (or use its menu's 종료) to stop.")
        app.wait()
        return
    wait_for_prices(s)
    window_shot(s, screenshot_path, margin=8)
    close(s, app)


def screenshots(s, url, docs):
    os.makedirs(docs, exist_ok=True)
    app = start(s, url, IntervalSec="2")
    wait_for_prices(s)
    window_shot(s, os.path.join(docs, "vindral-table.png"), margin=8)

    s.xdotool("mousemove", *TRAY_ICON, "click", "3")
    s.driver("wait", "menu", 10000)
    menu = s.screenshot()
    mx, my, mw, mh = s.rect("menu")
    path = os.path.join(docs, "vindral-menu.png")
    menu.save_png(path, (mx - 8, my - 8, mx + mw + 8, my + mh + 8))
    print(f"wrote {path}")
    s.xdotool("key", "Escape")
    s.driver("gone", "menu", 10000)

    s.xdotool("mousemove", *TRAY_ICON, "click", "3")
    s.driver("wait", "menu", 10000)
    s.xdotool("key", "Down", "Return")  # the first item: settings
    s.driver("wait", "dialog", 15000)
    dialog = s.screenshot()
    dx, dy, dw, dh = s.rect("dialog")
    path = os.path.join(docs, "vindral-dialog.png")
    dialog.save_png(path, (dx, dy, dx + dw, dy + dh))
    print(f"wrote {path}")
    s.driver("command", "dialog", 2)  # Cancel
    s.driver("gone", "dialog", 10000)

    s.driver("key", "main", VK_M)
    wait_for(lambda: s.rect()[3] < 60, 15, "the initials strip")
    wait_for_prices(s, dot=(9, 11))
    window_shot(s, os.path.join(docs, "vindral-strip.png"), margin=8)
    close(s, app)

    app = start(s, url, IntervalSec="2", MiniMode="1")
    wait_for_prices(s)
    window_shot(s, os.path.join(docs, "vindral-mini.png"), margin=8)
    close(s, app)

    alert_screenshots(s, url, docs)
    premium_screenshots(s, url, docs)


def premium_screenshots(s, url, docs):
    """The table view with the "업비트 · 김프" column and the strip with the premium after each
    change, once the demo market's premiums (a few percent up: red) are drawn."""
    app = start(s, url, IntervalSec="2", KimchiPremium="1", CoinInitials="0")
    wait_for_prices(s)

    def premium_drawn():
        x, y, _, _ = s.rect()
        # The lower half of BTC's premium cell, the column after three exchanges and the average.
        return s.screenshot().count(x + 490, y + 68, x + 598, y + 88, RISE_RED, 40) >= 5
    wait_for(premium_drawn, 60, "the premium column")
    window_shot(s, os.path.join(docs, "vindral-table-kimchi.png"), margin=8)

    s.driver("key", "main", VK_M)
    wait_for(lambda: s.rect()[3] < 60, 15, "the initials strip")
    wait_for_prices(s, dot=(9, 11))
    window_shot(s, os.path.join(docs, "vindral-strip-kimchi.png"), margin=8)
    close(s, app)


def add_alert(s, coin, kind, value, minutes=""):
    for item_id, index in ((ID_ALERTS_COIN, coin), (ID_ALERTS_KIND, kind)):
        s.driver("select", "alerts", item_id, index)
    for item_id, text in ((ID_ALERTS_VALUE, value), (ID_ALERTS_MINUTES, minutes)):
        wait_for(lambda: s.driver("settext", "alerts", item_id, text) == "" and
                 s.driver("text", "alerts", item_id) == text, 10, f"{text!r} typed")
    s.driver("click", "alerts", ID_ALERTS_ADD)


def alert_screenshots(s, url, docs):
    """The alert dialog with alerts just around BTC's average, and the first one that fires:
    the bell on its row and Wine's notification balloon."""
    log = os.path.join(s.work, "notify.log")
    write_ini(s.ini_path(), ini_of(ServerUrl=url, IntervalSec="2"))
    app = s.start_app(VINDRAL_TEST_NOTIFY_LOG=s.windows_path(log))
    s.driver("wait", "main", 60000)
    wait_for_prices(s)
    btc = int(s.driver("send", "main", MSG_TEST_ALERT_PRICE, 0, 0)) / 100

    s.driver("command", "main", CMD_ALERTS)
    s.driver("wait", "alerts", 15000)
    add_alert(s, 0, 0, f"{btc * 1.0002:.2f}")
    add_alert(s, 0, 1, f"{btc * 0.9998:.2f}")
    add_alert(s, 1, 2, "3", "15")
    wait_for(lambda: s.driver("text", "alerts", ID_ALERTS_MINUTES) == "15", 10, "the third alert")
    dialog = s.screenshot()
    dx, dy, dw, dh = s.rect("alerts")
    path = os.path.join(docs, "vindral-alerts-dialog.png")
    dialog.save_png(path, (dx, dy, dx + dw, dy + dh))
    print(f"wrote {path}")
    s.driver("command", "alerts", IDOK)
    s.driver("gone", "alerts", 10000)

    wait_for(lambda: os.path.exists(log) and open(log, "rb").read(), 120, "an alert to fire")
    s.driver("wait", "balloon", 10000)
    shot = s.screenshot()
    x, y, w, h = s.rect()
    bx, by, bw, bh = s.rect("balloon")
    path = os.path.join(docs, "vindral-alert-fired.png")
    shot.save_png(path, (x - 8, y - 8, x + w + 8, y + h + 8))
    print(f"wrote {path}")
    path = os.path.join(docs, "vindral-alert-notification.png")
    shot.save_png(path, (0, 0, bx + bw + 8, by + bh + 8))
    print(f"wrote {path}")
    close(s, app)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["run", "screenshots"])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "run"))
    parser.add_argument("--screenshot", default=os.path.join(ROOT, "build", "run-screenshot.png"))
    parser.add_argument("--docs", default=os.path.join(ROOT, "docs"))
    args = parser.parse_args()

    config = Config()
    config.exe, config.driver, config.source_dir = args.exe, args.driver, ROOT
    config.work_root = os.path.abspath(args.work)
    config.artifacts = config.work_root
    config.template_prefix = os.path.join(config.work_root, "template-prefix")
    os.makedirs(config.work_root, exist_ok=True)

    headless = args.mode == "screenshots" or not os.environ.get("DISPLAY")
    server, port = start_server(args.server, os.path.join(config.work_root, "server.log"))
    url = f"http://127.0.0.1:{port}"
    print(f"vindral-server --demo listens on {url}")
    try:
        with Session(config, args.mode, print) as s:
            if headless:
                s.start_display()
            else:
                s.display = os.environ["DISPLAY"]
            s.make_prefix()
            s.start_wine()
            if args.mode == "run":
                run(s, url, headless, args.screenshot)
            else:
                screenshots(s, url, args.docs)
    except TestFailure as failure:
        print(f"failed: {failure}", file=sys.stderr)
        return 1
    finally:
        stop_process(server)
    return 0


if __name__ == "__main__":
    sys.exit(main())
