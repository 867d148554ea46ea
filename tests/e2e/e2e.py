#!/usr/bin/env python3
"""End-to-end tests of Vindral under Wine and Xvfb: e2e.py --case NAME [options].

Each case runs in its own Session (harness.py): a private X display, a private Wine prefix with
a prepared vindral.ini, and a price server on a loopback port where the case needs prices. The
case drives the window as a user would (xdotool), reads what the user sees (screenshots of the X
screen) and uses the Win32 driver program for what lies behind the API (opacity, control texts,
modal boxes). Screenshots of every look are kept under the artefacts folder.
"""

import argparse
import fcntl
import http.client
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
import traceback
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (  # noqa: E402
    SCREEN_HEIGHT,
    SCREEN_WIDTH,
    PriceServerProxy,
    Session,
    TestFailure,
    check,
    check_eq,
    free_loopback_port,
    ini_of,
    read_ini,
    wait_for,
    write_ini,
)

INTERVAL_MESSAGE = "조회 간격은 1초 ~ 5분 사이로 입력하세요.\n예: 5, 30초, 2분, 1:30"
EXCHANGE_MESSAGE = "거래소를 1개 이상 선택하세요."
COIN_MESSAGE = "코인을 1개 이상 선택하세요."

IDOK, IDCANCEL = 1, 2
ID_INTERVAL = 1001
ID_EXCHANGES = [1010, 1011, 1012, 1013, 1014]
ID_PRESET_3 = 1021
ID_PRESET_5 = 1022
ID_COINS = [1030, 1031, 1032]
ID_OPACITY = 1042
ID_OPACITY_LABEL = 1043
ID_EXCHANGE_COUNT = 1044
ID_FULL_NAMES = 1050
ID_INITIALS = 1051
ID_SERVER_URL = 1060


def alpha_of(pct):
    return max(30, min(pct, 100)) * 255 // 100


# ---------------------------------------------------------------------------------------------
# Settings dialog helpers (shared by the dialog host case and the program's own dialog)


def press_ok_expecting(s, message):
    """Presses OK and expects the warning box with this text; closes it again."""
    s.driver("command", "dialog", IDOK)
    s.driver("wait", "msgbox", 10000)
    check_eq(s.driver("msgtext", "msgbox"), message, "warning text")
    s.driver("command", "msgbox", IDOK)
    s.driver("gone", "msgbox", 10000)
    check(s.driver_ok("wait", "dialog", 0), "the dialog stays open after a failed check")


def click_item(s, target, item_id):
    """A real mouse click in the middle of a control."""
    x, y, w, h = (int(v) for v in s.driver("itemrect", target, item_id).split())
    s.xdotool("mousemove", x + w // 2, y + h // 2, "click", "1")


def set_checked(s, item_id, checked):
    set_checked_in(s, "dialog", item_id, checked)


def set_checked_in(s, target, item_id, checked):
    if (s.driver("checked", target, item_id) == "1") != checked:
        click_item(s, target, item_id)
        wait_for(lambda: (s.driver("checked", target, item_id) == "1") == checked, 10,
                 f"check box {item_id}")


def exercise_dialog(s, owner, opening_opacity):
    """Validation messages, presets, the live preview and its restore on Cancel. `owner` is the
    driver target whose opacity the preview changes."""
    opening_alpha = alpha_of(opening_opacity)
    check_eq(s.driver("alpha", owner), str(opening_alpha), "opacity when the dialog opens")

    # The interval: out of range or unreadable, the box names the range and the focus returns.
    for text in ["0", "301", "6분", "abc"]:
        s.driver("settext", "dialog", ID_INTERVAL, text)
        press_ok_expecting(s, INTERVAL_MESSAGE)
        wait_for(lambda: s.driver("focus", "dialog", ok_codes=(0, 1)) == str(ID_INTERVAL), 10,
                 f"the focus back in the interval field after {text!r}")
    s.driver("settext", "dialog", ID_INTERVAL, "1:30")

    # The exchange check comes before the coin check.
    for item_id in ID_EXCHANGES + ID_COINS:
        set_checked(s, item_id, False)
    check_eq(s.driver("text", "dialog", ID_EXCHANGE_COUNT), "선택: 0개", "count label")
    press_ok_expecting(s, EXCHANGE_MESSAGE)
    set_checked(s, ID_EXCHANGES[3], True)
    check_eq(s.driver("text", "dialog", ID_EXCHANGE_COUNT), "선택: 1개", "count label")
    press_ok_expecting(s, COIN_MESSAGE)

    # Preset "평균 3개" after OKX alone: Bitget, Binance, Bybit.
    click_item(s, "dialog", ID_PRESET_3)
    wait_for(lambda: s.driver("text", "dialog", ID_EXCHANGE_COUNT) == "선택: 3개", 10,
             "the count after the preset")
    check_eq([s.driver("checked", "dialog", i) for i in ID_EXCHANGES],
             ["1", "1", "1", "0", "0"], "exchange boxes after the preset")

    # A click on the slider's channel left of the thumb pages down by 10 and previews at once.
    x, y, w, h = (int(v) for v in s.driver("itemrect", "dialog", ID_OPACITY).split())
    s.xdotool("mousemove", x + 12, y + h // 2, "click", "1")
    lowered = opening_opacity - 10
    wait_for(lambda: s.driver("text", "dialog", ID_OPACITY_LABEL) == f"{lowered}%", 10,
             "the opacity label")
    check_eq(s.driver("alpha", owner), str(alpha_of(lowered)), "previewed opacity")

    shot = s.screenshot()
    dx, dy, dw, dh = s.rect("dialog")
    s.keep(shot, "dialog", (dx, dy, dx + dw, dy + dh))

    # Cancel sends the opening opacity back.
    click_item(s, "dialog", IDCANCEL)
    s.driver("gone", "dialog", 10000)
    wait_for(lambda: s.driver("alpha", owner) == str(opening_alpha), 10,
             "the opening opacity after Cancel")


def fill_and_confirm(s):
    """Valid input: 1:30, all five exchanges, initials, a server typed without a scheme."""
    s.driver("settext", "dialog", ID_INTERVAL, "1:30")
    click_item(s, "dialog", ID_PRESET_5)
    wait_for(lambda: s.driver("text", "dialog", ID_EXCHANGE_COUNT) == "선택: 5개", 10,
             "the count after the preset")
    set_checked(s, ID_INITIALS, True)
    s.driver("settext", "dialog", ID_SERVER_URL, " 127.0.0.1:9/ ")
    click_item(s, "dialog", IDOK)
    s.driver("gone", "dialog", 10000)


# ---------------------------------------------------------------------------------------------
# The program's window

INI_KEYS = ["IntervalSec", "Exchanges", "Coins", "ServerUrl", "AlwaysOnTop", "MiniMode",
            "KoreanColors", "CoinInitials", "OpacityPct", "ZoomPct", "PosX", "PosY",
            "ClickThrough", "KimchiPremium"]

# Palette
ACCENT = (240, 185, 11)
MAIN_TEXT = (234, 236, 240)
GREEN = (46, 204, 113)
RED = (240, 80, 80)
BLUE = (80, 145, 250)
DIM_TEXT = (128, 134, 147)
WARNING = (255, 167, 38)
BORDER = (60, 64, 74)
WINDOW_BACKGROUND = (22, 24, 29)

# Header buttons at 96 DPI: 0 pin, 1 look, 2 settings, 3 hide, 4 close.
BUTTON_SETTINGS, BUTTON_HIDE, BUTTON_CLOSE = 2, 3, 4


def button_center(window_width, button, mini=False, scale=1.0):
    """Client point in the middle of a header button: 26 x 28 (22 x 22 in mini mode), ending
    4 px before the right edge, all scaled."""
    width, height = (22, 22) if mini else (26, 28)
    width, height, gap = round(width * scale), round(height * scale), round(4 * scale)
    right = window_width - gap - (4 - button) * width
    return right - width // 2, height // 2

VK_M = 0x4D
VK_F5 = 0x74
WM_APP_TEST_SNAPSHOT = 0x8000 + 10
CMD_TOGGLE_LOOK = 102  # table view <-> initials strip
TRAY_ICON = (12, 32)  # Wine's stand-in tray window (no XEMBED tray on Xvfb)


BUTTON_HOVER = (50, 54, 64)
CLOSE_HOVER = (196, 43, 28)


def click_button(s, window_width, button, mini=False, scale=1.0):
    """Points at a header button, waits until it shows its hover fill (so the window is tracking
    the mouse there), then clicks it."""
    cx, cy = button_center(window_width, button, mini, scale)
    width = round((22 if mini else 26) * scale)
    hover = CLOSE_HOVER if button == BUTTON_CLOSE else BUTTON_HOVER
    wx, wy, _, _ = s.rect()
    # Come from elsewhere: a window that appeared under a resting pointer saw no motion.
    s.xdotool("mousemove", wx + cx, wy + cy + 40)
    nudge = [0]

    def hovered():
        if client_pixel(s, s.screenshot(), cx - width // 2 + 2, 2) == hover:
            return True
        # Alternate between two points: Wine merges motions that end where they started.
        nudge[0] ^= 1
        s.xdotool("mousemove", wx + cx + nudge[0], wy + cy)
        return False

    wait_for(hovered, 20, f"header button {button} to show its hover fill")
    s.xdotool("click", "1")


def dead_server_url():
    """A loopback URL where nothing listens: the server road fails at once, never leaving the
    machine."""
    return f"http://127.0.0.1:{free_loopback_port()}"


def start_vindral(s, name="vindral", **ini):
    write_ini(s.ini_path(), ini_of(**ini))
    app = s.start_app(name)
    s.driver("wait", "main", 30000)
    return app


def wait_rect(s, expected, what):
    """Waits until the main window stands at exactly (x, y, width, height)."""
    try:
        return wait_for(lambda: s.rect() == expected, 15, what)
    except TestFailure:
        raise TestFailure(f"{what}: expected {expected}, window at {s.rect()}") from None


def wait_size(s, width, height, what):
    try:
        wait_for(lambda: s.rect()[2:] == (width, height), 15, what)
    except TestFailure:
        raise TestFailure(f"{what}: expected {width} x {height}, window at {s.rect()}") from None
    return s.rect()


def docked_corner(width, height, margin=16):
    """Where a fresh window stands: the bottom-right corner of the work area, margin away."""
    return (SCREEN_WIDTH - width - margin, SCREEN_HEIGHT - height - margin, width, height)


def click_client(s, x, y, button=1, repeat=1):
    wx, wy, _, _ = s.rect()
    s.xdotool("mousemove", wx + x, wy + y, "click", "--repeat", repeat, "--delay", 60, button)


def keep_window(s, label, margin=4):
    shot = s.screenshot()
    x, y, w, h = s.rect()
    s.keep(shot, label, (x - margin, y - margin, x + w + margin, y + h + margin))
    return shot


def client_pixel(s, shot, x, y):
    wx, wy, _, _ = s.rect()
    return shot.pixel(wx + x, wy + y)


def wait_exit_code(s, app, what):
    check_eq(s.wait_exit(app, 30, what), 0, f"exit code of {what}")


def stored_ini(s):
    return read_ini(s.ini_path())


# ---------------------------------------------------------------------------------------------
# Cases


def case_table_view(s):
    """A fresh position with three exchanges and three coins: the table view's size and place,
    its palette, the opacity, Ctrl+wheel zoom, and the settings file written at exit."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    url = dead_server_url()
    app = start_vindral(s, ServerUrl=url, Exchanges="11100")

    wait_rect(s, docked_corner(500, 194), "table view of 3 exchanges x 3 coins")
    check_eq(s.driver("alpha", "main"), str(alpha_of(95)), "opacity 95 %")

    # The server cannot be reached: every cell failed, so the status dot is red.
    def red_dot():
        shot = s.screenshot()
        return shot if client_pixel(s, shot, 14, 15) == RED else None

    shot = wait_for(red_dot, 15, "the red status dot")
    keep_window(s, "table")
    x, y, w, h = s.rect()
    # The average column heads "평균" in the accent colour (x 382-482 in the column headers).
    check(shot.count(x + 382, y + 28, x + 482, y + 48, ACCENT, 40) >= 5,
          "the average column's header in the accent colour")
    check(shot.count(x + 10, y + 28, x + 382, y + 48, ACCENT, 40) == 0,
          "exchange column headers are not accent-coloured")
    check_eq(shot.pixel(x, y + h // 2), BORDER, "window border")

    # Ctrl+wheel up: 115 %. The window near the right and bottom edges grows away from them,
    # keeping its gap to them.
    s.xdotool("mousemove", x + 200, y + 100)
    s.xdotool("keydown", "ctrl", "click", "4", "keyup", "ctrl")
    wait_rect(s, docked_corner(575, 223), "zoom 115 %")
    # The wheel alone does nothing.
    x, y, w, h = s.rect()
    s.xdotool("mousemove", x + 200, y + 100, "click", "4")
    wait_for(lambda: s.driver("visible", "main") == "1", 5, "the window")
    check_eq(s.rect()[2:], (575, 223), "size after a wheel step without Ctrl")
    s.xdotool("keydown", "ctrl", "click", "5", "keyup", "ctrl")
    wait_rect(s, docked_corner(500, 194), "back at zoom 100 %, in the same place")
    x, y, w, h = s.rect()

    # A header button names itself when the pointer rests on it.
    check_eq(hover_tip(s, *button_center(w, BUTTON_SETTINGS)), "설정", "the settings button's tip")

    # The close button ends the program; the settings file then holds every key.
    click_button(s, w, BUTTON_CLOSE)
    wait_exit_code(s, app, "vindral.exe after the close button")
    values = stored_ini(s)
    check_eq(sorted(values), sorted(INI_KEYS), "keys written at exit")
    check_eq({k: values[k] for k in INI_KEYS}, {
        "IntervalSec": "1", "Exchanges": "11100", "Coins": "111", "ServerUrl": url,
        "AlwaysOnTop": "1", "MiniMode": "0", "KoreanColors": "1", "CoinInitials": "0",
        "OpacityPct": "95", "ZoomPct": "100", "PosX": str(x), "PosY": str(y),
        "ClickThrough": "0", "KimchiPremium": "0"}, "settings at exit")


def case_looks(s):
    """One exchange (the minimum width), the initials strip by M and back by double-click, and
    mini mode from the settings file."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    url = dead_server_url()
    app = start_vindral(s, ServerUrl=url, Exchanges="01000")
    wait_rect(s, docked_corner(300, 194), "table view of one exchange")
    keep_window(s, "one-exchange")

    s.driver("key", "main", VK_M)
    x, y, w, h = wait_for(lambda: (lambda r: r if r[3] == 22 else None)(s.rect()), 15,
                          "the strip")
    check_eq((x + w, y + h), (SCREEN_WIDTH - 16, SCREEN_HEIGHT - 16),
             "the strip keeps its gap to the right and bottom edges")
    check(100 < w < 500, f"strip width {w} measured from its texts")
    wait_for(lambda: client_pixel(s, s.screenshot(), 6 + 3, 11) == RED, 15,
             "the strip's red status dot")
    keep_window(s, "strip")

    click_client(s, w // 2, h // 2, repeat=2)
    wait_size(s, 300, 194, "double-click back to the table view")

    click_button(s, 300, BUTTON_CLOSE)
    wait_exit_code(s, app, "vindral.exe after the close button")
    check_eq((stored_ini(s)["MiniMode"], stored_ini(s)["CoinInitials"]), ("0", "0"),
             "the toggle went back to the table view")

    app = start_vindral(s, "vindral-mini", ServerUrl=url, Exchanges="11100", MiniMode="1",
                        PosX="-2147483648", PosY="-2147483648")
    wait_rect(s, docked_corner(240, 100), "mini mode of three coins")
    keep_window(s, "mini")
    click_button(s, 240, BUTTON_CLOSE, mini=True)
    wait_exit_code(s, app, "vindral.exe after the mini close button")


def case_dialog_host(s):
    """The settings dialog on its own (the dialog host program)."""
    ini = os.path.join(s.work, "host.ini")
    write_ini(ini, {"IntervalSec": "45", "Exchanges": "00010", "Coins": "111",
                    "ServerUrl": "", "OpacityPct": "95", "CoinInitials": "0",
                    "MiniMode": "1", "ZoomPct": "130", "PosX": "-1200", "PosY": "40"})
    s.start_display()
    s.make_prefix()
    s.start_wine()

    host = s.start_app("host", [s.config.host, s.windows_path(ini)])
    s.driver("wait", "dialog", 30000)
    check_eq(s.driver("text", "dialog", ID_INTERVAL), "45초", "interval field")
    check_eq(s.driver("text", "dialog", ID_EXCHANGE_COUNT), "선택: 1개", "count label")
    check_eq(s.driver("text", "dialog", ID_OPACITY_LABEL), "95%", "opacity label")
    check_eq(s.driver("text", "dialog", ID_FULL_NAMES), "전체 (BTC · ETH · SUI)", "radio 1050")
    check_eq(s.driver("text", "dialog", ID_INITIALS), "이니셜 (B · E · S)", "radio 1051")
    check_eq(s.driver("checked", "dialog", ID_FULL_NAMES), "1", "full names selected")
    shot = s.screenshot()
    dx, dy, dw, dh = s.rect("dialog")
    s.keep(shot, "opened", (dx, dy, dx + dw, dy + dh))

    before = open(ini, "rb").read()
    exercise_dialog(s, "host", 95)
    check_eq(s.wait_exit(host, 20, "the host"), 2, "host exit code after Cancel")
    check(open(ini, "rb").read() == before, "Cancel leaves the settings file alone")

    host = s.start_app("host2", [s.config.host, s.windows_path(ini)])
    s.driver("wait", "dialog", 30000)
    fill_and_confirm(s)
    check_eq(s.wait_exit(host, 20, "the host"), 1, "host exit code after OK")
    values = read_ini(ini)
    check_eq(values.get("IntervalSec"), "90", "IntervalSec")
    check_eq(values.get("Exchanges"), "11111", "Exchanges")
    check_eq(values.get("CoinInitials"), "1", "CoinInitials")
    check_eq(values.get("ServerUrl"), "http://127.0.0.1:9", "ServerUrl")
    # Fields without a control come back as they went in.
    check_eq((values.get("MiniMode"), values.get("ZoomPct"), values.get("PosX"),
              values.get("PosY")), ("1", "130", "-1200", "40"), "untouched fields")


def open_tray_menu(s):
    """Right click on the tray icon, as a user would (a right click on the window's caption
    area does not reach the program under Wine: its default handling keeps the button-up)."""
    s.xdotool("mousemove", *TRAY_ICON, "click", "3")
    s.driver("wait", "menu", 10000)


def choose_menu_item(s, downs, hinted=False):
    """Picks the item `downs` steps down the open menu (separators are skipped). `hinted`: no
    price server has answered, so the switch to the direct road heads the menu."""
    s.xdotool("key", *(["Down"] * (downs + (1 if hinted else 0))), "Return")
    s.driver("gone", "menu", 10000)


MENU_SETTINGS = 1
MENU_ALERTS = 2
MENU_ALWAYS_ON_TOP = 9  # settings, alerts, refresh, 4 submenus, mini mode, always on top
MENU_HIDE_OR_SHOW = 15  # after colours, initials, 김프, start with Windows, click-through
MENU_EXIT = 16


def case_tray_and_instance(s):
    """Hiding to the tray keeps the position; a second start brings the window back and exits
    0; the tray menu's commands."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    app = start_vindral(s, ServerUrl=dead_server_url())
    corner = docked_corner(500, 194)
    wait_rect(s, corner, "the table view")

    # The header's hide button stores the position and hides the window.
    click_button(s, 500, BUTTON_HIDE)
    wait_for(lambda: s.driver("visible", "main") == "0", 10, "the window hidden")
    position = (str(corner[0]), str(corner[1]))
    wait_for(lambda: (stored_ini(s).get("PosX"), stored_ini(s).get("PosY")) == position, 10,
             f"the position {position} stored when hiding")

    second = s.start_app("second")
    wait_exit_code(s, second, "the second vindral.exe")
    wait_for(lambda: s.driver("visible", "main") == "1", 10, "the window shown again")
    check_eq(s.rect(), corner, "position after hide and show")
    check(app.poll() is None, "the first instance keeps running")

    # A left click on the tray icon hides, another shows, in the same place.
    s.xdotool("mousemove", *TRAY_ICON, "click", "1")
    wait_for(lambda: s.driver("visible", "main") == "0", 10, "hidden by the tray icon")
    s.xdotool("mousemove", *TRAY_ICON, "click", "1")
    wait_for(lambda: s.driver("visible", "main") == "1", 10, "shown by the tray icon")
    check_eq(s.rect(), corner, "position after the tray round trip")

    open_tray_menu(s)
    s.keep(s.screenshot(), "menu", (0, 0, 400, 320))
    choose_menu_item(s, MENU_ALWAYS_ON_TOP, hinted=True)
    wait_for(lambda: stored_ini(s).get("AlwaysOnTop") == "0", 10, "always on top switched off")

    open_tray_menu(s)
    choose_menu_item(s, MENU_HIDE_OR_SHOW, hinted=True)
    wait_for(lambda: s.driver("visible", "main") == "0", 10, "hidden by the menu")
    open_tray_menu(s)
    choose_menu_item(s, MENU_HIDE_OR_SHOW, hinted=True)
    wait_for(lambda: s.driver("visible", "main") == "1", 10, "shown by the menu")

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT, hinted=True)
    wait_exit_code(s, app, "vindral.exe after the menu's exit")
    check_eq(stored_ini(s).get("AlwaysOnTop"), "0", "AlwaysOnTop at exit")


def open_settings_by_button(s, window_width):
    click_button(s, window_width, BUTTON_SETTINGS)
    s.driver("wait", "dialog", 15000)


def case_settings_dialog(s):
    """The program's own settings dialog from the header button: validation, presets, the
    preview on the live window and its restore; then, in a second run, OK applied and saved."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    app = start_vindral(s, ServerUrl=dead_server_url(), OpacityPct="80")
    wait_size(s, 500, 194, "the table view")

    open_settings_by_button(s, 500)
    check_eq(s.driver("text", "dialog", ID_INTERVAL), "1초", "interval field")
    check_eq(s.driver("text", "dialog", ID_EXCHANGE_COUNT), "선택: 3개", "count label")
    exercise_dialog(s, "main", 80)
    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT, hinted=True)
    wait_exit_code(s, app, "vindral.exe")
    check_eq(stored_ini(s).get("Exchanges"), "11100", "Cancel changed nothing")

    app = s.start_app("vindral-ok")
    s.driver("wait", "main", 30000)
    wait_size(s, 500, 194, "the table view")
    open_settings_by_button(s, 500)
    fill_and_confirm(s)
    # Initials on: the window turns into the strip; everything is saved at once.
    wait_for(lambda: s.rect()[3] == 22, 15, "the initials strip")
    # The file is saved right after the new layout.
    expected = ("90", "11111", "1", "http://127.0.0.1:9", "80")

    def saved():
        values = stored_ini(s)
        return tuple(values.get(k) for k in ("IntervalSec", "Exchanges", "CoinInitials",
                                             "ServerUrl", "OpacityPct"))

    wait_for(lambda: saved() == expected, 10, f"the settings saved after OK: {expected}")
    check_eq(s.driver("alpha", "main"), str(alpha_of(80)), "opacity after OK")

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT, hinted=True)
    wait_exit_code(s, app, "vindral.exe")


def native_program(s, relative_path, target):
    """A native program of this repository (the Windows build cannot make them): taken from the
    native build folder, or built there with the native preset when it is missing."""
    native_dir = s.config.native_dir
    path = os.path.join(native_dir, relative_path)
    with open(os.path.join(s.config.work_root, "native-build.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(path):
            s.log(f"building {target} with the native preset in {native_dir}")
            quiet = dict(cwd=s.config.source_dir, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
            if not os.path.exists(os.path.join(native_dir, "CMakeCache.txt")):
                subprocess.run(["cmake", "--preset", "native", "-B", native_dir], check=True,
                               **quiet)
            subprocess.run(["cmake", "--build", native_dir, "--target", target], check=True,
                           **quiet)
    return path


def start_demo_server(s):
    """vindral-server --demo on a loopback port it picks; returns the server URL."""
    binary = native_program(s, os.path.join("server", "vindral-server"), "vindral-server")
    log = os.path.join(s.work, "server.log")
    s.spawn("server", [binary, "--demo", "--listen", "127.0.0.1:0"])

    def port():
        match = re.search(rb"listening on 127\.0\.0\.1:(\d+)", open(log, "rb").read())
        return match.group(1).decode() if match else None

    return "http://127.0.0.1:" + wait_for(port, 30, "vindral-server to listen")


def is_flash_tint(pixel):
    """A cell background tinted toward the rise or fall colour (a price flash, up to 30 %)."""
    for target in (RED, BLUE):
        for step in range(1, 31):
            a = step / 100
            tint = tuple(int(b + (t - b) * a) for b, t in zip(WINDOW_BACKGROUND, target))
            if all(abs(p - q) <= 1 for p, q in zip(pixel, tint)):
                return True
    return False


def case_prices(s):
    """Live prices from the demo price server: the status dot turns green, the average column
    is accent-coloured, and changing prices flash their cells."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    url = start_demo_server(s)
    app = start_vindral(s, ServerUrl=url, Exchanges="11100")
    wait_rect(s, docked_corner(500, 194), "the table view")

    wait_for(lambda: client_pixel(s, s.screenshot(), 14, 15) == GREEN, 30,
             "the green status dot of a fresh board")
    shot = keep_window(s, "prices")
    x, y, _, _ = s.rect()
    first_row = (y + 48, y + 48 + 20)  # upper half of the BTC row: the prices
    check(shot.count(x + 382, first_row[0], x + 482, first_row[1], ACCENT, 40) >= 10,
          "the average price in the accent colour")
    check(shot.count(x + 58, first_row[0], x + 166, first_row[1], MAIN_TEXT, 40) >= 10,
          "a fresh exchange price in the main text colour")

    def flashing():
        shot = s.screenshot()
        for py in range(y + 49, y + 166, 3):
            for px in range(x + 60, x + 490, 3):
                if is_flash_tint(shot.pixel(px, py)):
                    return shot
        return None

    shot = wait_for(flashing, 20, "a price flash")
    s.keep(shot, "flash", (x, y, x + 500, y + 194))

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")
    # Shutting down ends the session on the server.
    log = open(os.path.join(s.work, "server.log"), "rb").read().decode(errors="replace")
    check(re.search(r"session \S+ created", log) and re.search(r"session \S+ deleted", log),
          f"one session created and deleted; the server logged:\n{log}")


def case_refresh_and_stale(s):
    """F5 asks the server for one refresh per press; prices that stop arriving turn dim with an
    orange age once older than max(2 x interval + 3 s, 6 s)."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    upstream = start_demo_server(s)
    proxy = PriceServerProxy(int(upstream.rsplit(":", 1)[1]))
    s.on_close(proxy.close)
    app = start_vindral(s, ServerUrl=f"http://127.0.0.1:{proxy.port}", Exchanges="11100")
    wait_rect(s, docked_corner(500, 194), "the table view")
    wait_for(lambda: client_pixel(s, s.screenshot(), 14, 15) == GREEN, 30,
             "the green status dot of a fresh board")

    before = proxy.count("POST /refresh")
    s.driver("key", "main", VK_F5)
    wait_for(lambda: proxy.count("POST /refresh") == before + 1, 10, "one refresh request")
    s.driver("key", "main", VK_F5)
    wait_for(lambda: proxy.count("POST /refresh") == before + 2, 10, "a second refresh request")
    polls = proxy.count("GET /next")
    wait_for(lambda: proxy.count("GET /next") >= polls + 3, 20, "three more board polls")
    check_eq(proxy.count("POST /refresh"), before + 2, "refresh requests after two presses")

    # The server goes quiet: after 6 s the prices are stale.
    proxy.freeze()
    x, y, _, _ = s.rect()

    def stale():
        shot = s.screenshot()
        dim_price = shot.count(x + 58, y + 48, x + 166, y + 68, DIM_TEXT, 30) >= 10
        age = shot.count(x + 58, y + 68, x + 166, y + 88, WARNING, 40) >= 5
        return shot if dim_price and age else None

    shot = wait_for(stale, 30, "dim prices with an orange age")
    check(client_pixel(s, shot, 14, 15) != GREEN, "no green status dot over stale prices")
    s.keep(shot, "stale", (x, y, x + 500, y + 194))
    check(shot.count(x + 382, y + 48, x + 482, y + 68, ACCENT, 40) == 0,
          "no average from stale prices")
    proxy.thaw()
    wait_for(lambda: client_pixel(s, s.screenshot(), 14, 15) == GREEN, 30,
             "fresh prices again")

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")


def case_strip_width(s):
    """The initials strip is as wide as its texts: it keeps its width while prices change only
    in their digits, and grows when a price gains a digit."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    upstream = start_demo_server(s)
    proxy = PriceServerProxy(int(upstream.rsplit(":", 1)[1]))
    s.on_close(proxy.close)
    app = start_vindral(s, ServerUrl=f"http://127.0.0.1:{proxy.port}", Exchanges="01000",
                        CoinInitials="1")
    wait_for(lambda: s.rect()[3] == 22, 15, "the strip")
    wait_for(lambda: client_pixel(s, s.screenshot(), 9, 11) == GREEN, 30,
             "the strip's green status dot")
    _, _, width, _ = s.rect()
    keep_window(s, "strip")

    polls = proxy.count("GET /next")
    for seen in range(1, 4):
        wait_for(lambda: proxy.count("GET /next") >= polls + seen, 20, "a board poll")
        check_eq(s.rect()[2], width, "strip width while only digits change")

    # SUI at ten times its price: 4.xxxx becomes 4x.xxxx, one digit more.
    proxy.scale_prices("SUI", 10)
    x, y, grown, h = wait_for(lambda: (lambda r: r if r[2] > width else None)(s.rect()), 20,
                              "the strip to grow")
    check_eq(h, 22, "strip height")
    keep_window(s, "strip-grown")
    proxy.scale_prices("SUI", 1)
    wait_for(lambda: s.rect()[2] == width, 20, "the strip back at its first width")

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")


def case_table_view_144dpi(s):
    """At 144 DPI every length scales by 1.5: the table view of three exchanges is 750 x 291,
    24 px from the corner."""
    s.start_display()
    s.make_prefix(log_pixels=144)
    s.start_wine()
    app = start_vindral(s, ServerUrl=dead_server_url())
    wait_rect(s, docked_corner(750, 291, margin=24), "table view at 144 DPI")
    keep_window(s, "table")
    click_button(s, 750, BUTTON_CLOSE, scale=1.5)
    wait_exit_code(s, app, "vindral.exe")


# ---------------------------------------------------------------------------------------------
# Price alerts

WM_APP = 0x8000
MSG_TEST_ALERT_PRICE = WM_APP + 20
MSG_TEST_ARMED_ALERTS = WM_APP + 21
ALERT_TITLE = "Vindral 가격 알림"
(ID_ALERTS_LIST, ID_ALERTS_COIN, ID_ALERTS_KIND, ID_ALERTS_VALUE, ID_ALERTS_MINUTES,
 ID_ALERTS_REPEAT, ID_ALERTS_ADD, ID_ALERTS_CHANGE, ID_ALERTS_REMOVE,
 ID_ALERTS_SOUND) = range(1101, 1111)
PRICE_MESSAGE = "가격은 0보다 큰 숫자로 입력하세요."
PERCENT_MESSAGE = "변동률은 0.1 ~ 50% 사이로 입력하세요."
MINUTES_MESSAGE = "기간은 1 ~ 240분 사이로 입력하세요."


def start_fake_server(s):
    """vindral-fake-server on a loopback port it picks, its prices set over /control/; returns
    the port."""
    binary = native_program(s, os.path.join("tests", "tools", "vindral-fake-server"),
                            "vindral-fake-server")
    log = os.path.join(s.work, "fake-server.log")
    s.spawn("fake-server", [binary, "--port", "0"])

    def port():
        match = re.match(rb"(\d+)\n", open(log, "rb").read())
        return int(match.group(1)) if match else None

    return wait_for(port, 30, "vindral-fake-server to listen")


def set_price(port, exchange, coin, price):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        conn.request("POST", f"/control/price?exchange={exchange}&coin={coin}&price={price}")
        answer = conn.getresponse()
        answer.read()
    finally:
        conn.close()
    check_eq(answer.status, 200, f"setting {coin} on {exchange} to {price}")


def notices(path):
    """What the program notified, one line per alert (the test log of its notifications)."""
    if not os.path.exists(path):
        return []
    return open(path, encoding="utf-8").read().splitlines()


def ask_window(s, message):
    """The main window's answer to a test message, or None when it was too busy to answer."""
    return s.driver("send", "main", message, 0, 0, ok_codes=(0, 1)) or None


def label_pixels(s, shot):
    """The pixels of the BTC row's label cell, where the bell of a fired alert stands."""
    x, y, _, _ = s.rect()
    return [shot.pixel(px, py) for py in range(y + 50, y + 86) for px in range(x + 8, x + 58)]


def case_alerts_fire(s):
    """Alerts from the settings file against scripted prices: a crossing notifies once, not
    again while the price hovers at the level, again once it has been back by the hysteresis;
    the bell marks the row until the mouse comes; a one-shot alert is gone after it fired."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    port = start_fake_server(s)
    set_price(port, "Bitget", "BTC", 99000)
    log = os.path.join(s.work, "notify.log")
    write_ini(s.ini_path(), ini_of(ServerUrl=f"http://127.0.0.1:{port}", Exchanges="01000",
                                   Coins="100", Alert1="BTC above 100000 repeat",
                                   Alert2="BTC below 90000 once"))
    app = s.start_app(VINDRAL_TEST_NOTIFY_LOG=s.windows_path(log))
    s.driver("wait", "main", 30000)

    def see(price, timeout_s=30):
        set_price(port, "Bitget", "BTC", price)
        wait_for(lambda: ask_window(s, MSG_TEST_ALERT_PRICE) == str(round(price * 100)),
                 timeout_s, f"the window watching BTC at {price}")

    def armed():
        return int(wait_for(lambda: ask_window(s, MSG_TEST_ARMED_ALERTS), 10, "an answer"))

    # The first board comes after the session has been made.
    see(99000, timeout_s=60)
    check_eq(armed(), 2, "both alerts armed below the level")
    check_eq(notices(log), [], "no notice before a crossing")
    quiet_label = label_pixels(s, s.screenshot())

    see(100010)
    wait_for(lambda: len(notices(log)) == 1, 20, "the notice of the crossing")
    check_eq(notices(log)[0], f"{ALERT_TITLE}\tBTC 100,000.00 돌파 ▲ · Bitget", "notice text")
    check_eq(armed(), 1, "armed alerts after the crossing")
    shot = wait_for(lambda: (lambda shot: shot if label_pixels(s, shot) != quiet_label else None)(
        s.screenshot()), 10, "the bell on the BTC row")
    x, y, w, h = s.rect()
    s.keep(shot, "bell", (x - 4, y - 4, x + w + 4, y + h + 4))
    if s.driver_ok("wait", "balloon", 5000):
        s.log(f"the notification shows: {s.driver('text', 'balloon', 0)!r}")
        s.keep(s.screenshot(), "notification")
    else:
        s.log("Wine shows no notification window on this display")

    for price in (99950, 100020, 99901, 100030):
        see(price)
    check_eq(len(notices(log)), 1, "notices while the price hovers at the level")

    see(99800)
    check_eq(armed(), 2, "armed again 0.1 % below the level")
    see(100001)
    wait_for(lambda: len(notices(log)) == 2, 20, "the notice of the second crossing")

    see(89000)
    wait_for(lambda: len(notices(log)) == 3, 20, "the notice of the fall")
    check_eq(notices(log)[2], f"{ALERT_TITLE}\tBTC 90,000.00 이탈 ▼ · Bitget", "notice text")
    wait_for(lambda: stored_ini(s).get("Alert2") == "", 10, "the one-shot alert removed")
    check(re.fullmatch(r"BTC above 100000 repeat [1-9]\d+", stored_ini(s).get("Alert1", "")),
          f"the repeating alert kept with its time: {stored_ini(s).get('Alert1')!r}")

    # The mouse over the window takes the bell away.
    s.xdotool("mousemove", x + w // 2, y + h - 10)
    wait_for(lambda: label_pixels(s, s.screenshot()) == quiet_label, 10, "the bell gone")

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")
    check_eq(len(notices(log)), 3, "notices in all")


KIND_CHOICES = ["가격 이상 (돌파)", "가격 이하 (이탈)", "변동률 (기간 내)"]


def choose_kind(s, index):
    """Picks a condition; sent again until it shows, as a message to a dialog that has just
    closed a warning box can time out."""
    def chosen():
        s.driver("select", "alerts", ID_ALERTS_KIND, index)
        return s.driver("text", "alerts", ID_ALERTS_KIND) == KIND_CHOICES[index]

    wait_for(chosen, 10, f"the condition {KIND_CHOICES[index]} chosen")


def set_field(s, item_id, text):
    def shown():
        s.driver("settext", "alerts", item_id, text)
        return s.driver("text", "alerts", item_id) == text

    wait_for(shown, 10, f"{text!r} in field {item_id}")


def press_expecting(s, item_id, message):
    s.driver("click", "alerts", item_id)
    s.driver("wait", "msgbox", 10000)
    check_eq(s.driver("msgtext", "msgbox"), message, "warning text")
    s.driver("command", "msgbox", IDOK)
    s.driver("gone", "msgbox", 10000)
    check(s.driver_ok("wait", "alerts", 0), "the dialog stays open after a failed check")


def press_add(s, count):
    """Adds the alert of the fields and waits until the list holds `count` alerts, so that the
    next change of a field cannot overtake the click."""
    click_item(s, "alerts", ID_ALERTS_ADD)
    wait_for(lambda: s.driver("count", "alerts", ID_ALERTS_LIST, ok_codes=(0, 1)) == str(count),
             10, f"{count} alerts in the list")


def case_alerts_dialog(s):
    """The alert dialog from the context menu: its checks, add, OK saves (a malformed stored
    entry is dropped), Cancel keeps everything as it was."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    app = start_vindral(s, ServerUrl=dead_server_url(), Alert1="ETH below 2000 once",
                        Alert2="garbage")
    wait_size(s, 500, 194, "the table view")
    # Right after the start, Wine's tray window may not show the icon yet.
    wait_for(lambda: s.screenshot().region_has(TRAY_ICON[0] - 8, TRAY_ICON[1] - 8,
                                               TRAY_ICON[0] + 8, TRAY_ICON[1] + 8, ACCENT, 40),
             20, "the tray icon")

    open_tray_menu(s)
    choose_menu_item(s, MENU_ALERTS, hinted=True)
    s.driver("wait", "alerts", 15000)
    check_eq(s.driver("text", "alerts", ID_ALERTS_VALUE), "", "value field")

    set_field(s, ID_ALERTS_VALUE, "0")
    press_expecting(s, ID_ALERTS_ADD, PRICE_MESSAGE)
    set_field(s, ID_ALERTS_VALUE, "abc")
    press_expecting(s, ID_ALERTS_ADD, PRICE_MESSAGE)

    choose_kind(s, 2)
    set_field(s, ID_ALERTS_VALUE, "60")
    set_field(s, ID_ALERTS_MINUTES, "15")
    press_expecting(s, ID_ALERTS_ADD, PERCENT_MESSAGE)
    set_field(s, ID_ALERTS_VALUE, "3")
    set_field(s, ID_ALERTS_MINUTES, "241")
    press_expecting(s, ID_ALERTS_ADD, MINUTES_MESSAGE)
    set_field(s, ID_ALERTS_MINUTES, "15")
    press_add(s, 2)

    choose_kind(s, 0)
    set_field(s, ID_ALERTS_VALUE, "100,000")
    set_checked_in(s, "alerts", ID_ALERTS_REPEAT, True)
    press_add(s, 3)
    shot = s.screenshot()
    dx, dy, dw, dh = s.rect("alerts")
    s.keep(shot, "dialog", (dx, dy, dx + dw, dy + dh))

    click_item(s, "alerts", IDOK)
    s.driver("gone", "alerts", 10000)
    expected = ("ETH below 2000 once 0", "BTC move 3 15 once 0", "BTC above 100000 repeat 0", "")

    def saved():
        values = stored_ini(s)
        return tuple(values.get(f"Alert{i}") for i in range(1, 5))

    wait_for(lambda: saved() == expected, 10, f"the alerts saved after OK: {expected}")

    # Cancel after a removal keeps the list.
    open_tray_menu(s)
    choose_menu_item(s, MENU_ALERTS, hinted=True)
    s.driver("wait", "alerts", 15000)
    press_expecting(s, ID_ALERTS_REMOVE, "목록에서 알림을 고르세요.")
    lx, ly, lw, lh = (int(v) for v in s.driver("itemrect", "alerts", ID_ALERTS_LIST).split())
    s.xdotool("mousemove", lx + lw // 2, ly + 8, "click", "1")
    wait_for(lambda: s.driver("text", "alerts", ID_ALERTS_VALUE) == "2000", 10,
             "the first alert shown in the fields")
    click_item(s, "alerts", ID_ALERTS_REMOVE)
    wait_for(lambda: s.driver("count", "alerts", ID_ALERTS_LIST, ok_codes=(0, 1)) == "2", 10,
             "the first alert removed from the list")
    click_item(s, "alerts", IDCANCEL)
    s.driver("gone", "alerts", 10000)

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT, hinted=True)
    wait_exit_code(s, app, "vindral.exe")
    check_eq(saved(), expected, "the alerts after Cancel and exit")


WS_EX_TRANSPARENT = 0x20
CMD_SETTINGS, CMD_ALWAYS_ON_TOP, CMD_EXIT = 100, 103, 108
CMD_START_WITH_WINDOWS, CMD_CLICK_THROUGH = 121, 122


def click_through(s):
    return int(s.driver("exstyle", "main"), 16) & WS_EX_TRANSPARENT != 0


def footer_warns(s, width, height):
    """Warning-coloured text in the left half of the table view's footer. With a server that
    never answered the coverage reads a dim dash; only the hint to the direct road is orange."""
    shot = s.screenshot()
    x, y, _, _ = s.rect()
    return shot.count(x + 10, y + height - 20, x + width // 2, y + height - 2, WARNING, 40) >= 10


def case_first_start_window(s):
    """No price server answers: the footer says so. Click-through from the settings file and
    from the menu command. A second start raises the window above the user's other window
    without taking the focus from it. The Startup-folder shortcut, in this private prefix."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    write_ini(s.ini_path(), ini_of(ServerUrl=dead_server_url(), Exchanges="11100",
                                   CoinInitials="0", AlwaysOnTop="0", ClickThrough="1"))
    # Wine's menu builder would copy the Startup shortcut into the desktop's menus (outside the
    # prefix): it stays off here.
    app = s.start_app("vindral", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    s.driver("wait", "main", 30000)
    corner = docked_corner(500, 194)
    wait_rect(s, corner, "the table view")
    check(click_through(s), "WS_EX_TRANSPARENT from ClickThrough=1")
    wait_for(lambda: footer_warns(s, 500, 194), 15, "the hint in the footer")
    keep_window(s, "server-hint")

    s.driver("command", "main", CMD_CLICK_THROUGH)
    wait_for(lambda: not click_through(s), 10, "click-through off")
    wait_for(lambda: stored_ini(s).get("ClickThrough") == "0", 10, "ClickThrough=0 saved")
    s.driver("command", "main", CMD_CLICK_THROUGH)
    wait_for(lambda: click_through(s), 10, "click-through on again")
    check_eq(s.rect(), corner, "the window stays where it was")

    # The user's work covers the window and has the focus; a second start raises the window
    # but leaves the focus where it is.
    x, y, w, h = corner
    cover = s.start_app("cover", [s.config.driver, "cover", str(x - 20), str(y - 20),
                                  str(w + 40), str(h + 40)])
    s.driver("wait", "cover", 15000)
    wait_for(lambda: s.driver("foreground", "cover") == "1", 10, "the covering window's focus")
    wait_for(lambda: s.driver("above", "cover", "main") == "1", 10, "the window covered")
    second = s.start_app("second")
    wait_exit_code(s, second, "the second vindral.exe")
    wait_for(lambda: s.driver("above", "main", "cover") == "1", 10, "the window raised")
    check_eq(s.driver("foreground", "cover"), "1", "the focus stays with the covering window")
    check_eq(s.driver("topmost", "main"), "0", "raised, not made topmost")
    s.driver("post", "cover", 0x0010, 0, 0)  # WM_CLOSE
    check_eq(s.wait_exit(cover, 30, "the covering window"), 0, "exit code of the cover")

    # Start with Windows: a shortcut in the Startup folder that points at this exe. A stale
    # file there is replaced.
    programs = os.path.join(s.user_dir(), "AppData", "Roaming", "Microsoft", "Windows",
                            "Start Menu", "Programs")
    # Wine names it "StartUp" and finds it whatever the case.
    names = [n for n in os.listdir(programs) if n.lower() == "startup"]
    startup = os.path.join(programs, names[0] if names else "Startup")
    os.makedirs(startup, exist_ok=True)
    link = os.path.join(startup, "Vindral.lnk")
    with open(link, "wb") as f:
        f.write(b"not a shortcut")
    exe = s.windows_path(s.config.exe).lower()

    def points_here():
        if not os.path.exists(link):
            return False
        data = open(link, "rb").read().lower()
        return exe.encode("utf-16-le") in data or exe.encode() in data

    s.driver("command", "main", CMD_START_WITH_WINDOWS)
    wait_for(points_here, 15, f"{link} pointing at {exe}")
    s.driver("command", "main", CMD_START_WITH_WINDOWS)
    wait_for(lambda: not os.path.exists(link), 15, "the shortcut removed")

    s.driver("command", "main", CMD_EXIT)
    wait_exit_code(s, app, "vindral.exe")


def case_modal_settings(s):
    """While the settings dialog runs, setting commands from the tray menu do nothing (its
    Cancel would otherwise keep them, its OK drop them); exit still works."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    app = start_vindral(s, ServerUrl=dead_server_url(), AlwaysOnTop="0")
    wait_size(s, 500, 194, "the table view")

    s.driver("command", "main", CMD_SETTINGS)
    s.driver("wait", "dialog", 15000)
    s.driver("command", "main", CMD_ALWAYS_ON_TOP)
    s.driver("command", "main", CMD_CLICK_THROUGH)
    # Posted after the commands to the same thread, so handled after them.
    s.driver("command", "dialog", IDCANCEL)
    s.driver("gone", "dialog", 10000)
    check_eq(s.driver("topmost", "main"), "0", "always on top left alone")
    check(not click_through(s), "click-through left alone")
    check_eq((stored_ini(s).get("AlwaysOnTop", "0"), stored_ini(s).get("ClickThrough", "0")),
             ("0", "0"), "nothing saved")

    # Afterwards the same command works.
    s.driver("command", "main", CMD_ALWAYS_ON_TOP)
    wait_for(lambda: s.driver("topmost", "main") == "1", 10, "always on top after the dialog")

    s.driver("command", "main", CMD_SETTINGS)
    s.driver("wait", "dialog", 15000)
    s.driver("command", "main", CMD_EXIT)
    wait_exit_code(s, app, "vindral.exe, ended while its dialog was open")


def control(url, path, body=b""):
    request = urllib.request.Request(url + path, data=body, method="POST")
    with urllib.request.urlopen(request, timeout=10) as answer:
        answer.read()


# Windows cuts with "…", Wine with three points.
ELLIPSES = ("…", "...")
LONG_ERROR = "서버 HTTP 500 " + "가격 서버가 거래소에 닿지 못했습니다 " * 6


def hostile_board(server_now_ms):
    """Every kind of number and time a broken server can send, in one board. Its prices are
    stamped a day ahead, so they stay fresh while the same board comes again and again."""
    def cell(exchange, coin, **fields):
        entry = {"exchange": exchange, "coin": coin, "hasData": True, "lastOk": True,
                 "seq": 7, "updatedAtMs": server_now_ms + 86_400_000}
        entry.update(fields)
        return entry
    cells = [
        cell("Binance", "BTC", price="NaN"),
        cell("Bitget", "BTC", price=1e300, open24h=1),
        cell("Bybit", "BTC", price=100, updatedAtMs=-5),
        cell("Binance", "ETH", hasData=False, lastOk=False, error=LONG_ERROR),
        cell("Bitget", "ETH", price="Infinity", open24h=90),
        cell("Bybit", "ETH", price=2000, open24h="-inf"),
        cell("Binance", "SUI", price=1, open24h=1e-300),
        cell("Bitget", "SUI", price=1.7e308, open24h=1),
        cell("Bybit", "SUI", price=1.5e308, open24h=1),
    ]
    return json.dumps({"sessionId": "s1", "seq": 50, "serverTimeMs": server_now_ms,
                       "cells": cells, "stats": []}, ensure_ascii=False)


def drawn_texts(s, shots_dir, number):
    """Has the window list the texts of its price cells as drawn (test snapshot hook); returns
    [(cell, box, width, text)] with rectangles as (left, top, right, bottom)."""
    bmp = os.path.join(shots_dir, f"snapshot-{number}.bmp")
    s.driver("post", "main", WM_APP_TEST_SNAPSHOT, number, 0)
    # The listing is complete before the picture is started.
    wait_for(lambda: os.path.exists(bmp), 10, f"test snapshot {number}")
    texts = []
    with open(os.path.join(shots_dir, f"texts-{number}.txt"), encoding="utf-8") as listing:
        for line in listing.read().splitlines():
            cell, box, width, text = line.split("\t", 3)
            texts.append((tuple(map(int, cell.split())), tuple(map(int, box.split())),
                          int(width), text))
    return texts


def check_texts_fit(texts, look):
    for cell, box, width, text in texts:
        check(box[0] >= cell[0] and box[2] <= cell[2] and box[1] >= cell[1] and
              box[3] <= cell[3], f"{look}: the box of {text!r} {box} lies in its cell {cell}")
        check(width <= box[2] - box[0],
              f"{look}: {text!r} ({width} px) fits its box {box}")
        check(not re.search(r"nan|inf", text, re.IGNORECASE),
              f"{look}: no 'nan' or 'inf' on screen, drew {text!r}")


def hover_tip(s, x, y):
    """Rests the pointer on a client point and returns the text of the tip that shows."""
    wx, wy, _, _ = s.rect()
    s.xdotool("mousemove", wx + x, wy + y)
    s.driver("wait", "tip", 10000)
    return wait_for(lambda: s.driver("text", "tip", 0), 10, "the tip's text")


def case_hostile_board(s):
    """A price server that sends numbers that are not prices and times from nowhere: no text the
    window draws is "nan" or "inf" or leaves its cell, a cut error is whole in the cell's tooltip
    (table and mini view), and polls answered at once with nothing new are spaced out."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    url = f"http://127.0.0.1:{start_fake_server(s)}"
    board = hostile_board(int(time.time() * 1000))
    control(url, "/control/script?call=poll&status=200&times=-1", board.encode())
    shots = os.path.join(s.work, "shots")
    os.makedirs(shots)
    write_ini(s.ini_path(), ini_of(ServerUrl=url))
    app = s.start_app(VINDRAL_TEST_SNAPSHOT_DIR=s.windows_path(shots))
    s.driver("wait", "main", 60000)
    wait_rect(s, docked_corner(500, 194), "the table view")

    number = iter(range(1, 1000))
    texts = wait_for(lambda: (lambda t: t if any(x[3] == "오래 전" for x in t) else None)(
        drawn_texts(s, shots, next(number))), 30, "the hostile board on screen")
    keep_window(s, "hostile-table")
    check_texts_fit(texts, "table")
    shown = [t[3] for t in texts]
    check(any(t.startswith("서버 HTTP 500") and t.endswith(ELLIPSES) for t in shown),
          f"the long error cut with an ellipsis in its cell; drew {shown}")
    check(any(t.startswith("1") and t.endswith(ELLIPSES) for t in shown),
          f"the huge price cut with an ellipsis; drew {shown}")
    check(sum(t.startswith("서버 응답") for t in shown) >= 1,
          f"a price that is not a price is the cell's format error; drew {shown}")

    # The Binance ETH cell: its whole error in the tooltip.
    tip = hover_tip(s, 58 + 54, 48 + 40 + 20)
    check(tip.startswith("Binance · ETH · 갱신 "), f"the tip names the cell: {tip!r}")
    check(LONG_ERROR.strip() in tip.replace("\n", " "), f"the whole error in the tip: {tip!r}")
    s.xdotool("mousemove", 5, 5)
    s.driver("gone", "tip", 10000)

    # The initials strip sizes itself to its prices, but a price from nowhere is cut instead.
    s.driver("command", "main", CMD_TOGGLE_LOOK)
    wait_for(lambda: s.rect()[3] == 22, 15, "the initials strip")
    check_texts_fit(drawn_texts(s, shots, next(number)), "strip")
    check(s.rect()[2] <= 600, f"a strip of reasonable width, not {s.rect()[2]} px")
    keep_window(s, "hostile-strip")
    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")

    # The same board in the mini view, whose rows have tips too.
    write_ini(s.ini_path(), ini_of(ServerUrl=url, MiniMode="1"))
    app = s.start_app(VINDRAL_TEST_SNAPSHOT_DIR=s.windows_path(shots))
    s.driver("wait", "main", 60000)
    wait_for(lambda: s.rect()[3] == 3 * 24 + 6 + 22, 15, "the mini view")
    texts = wait_for(lambda: (lambda t: t if any(x[3].endswith(ELLIPSES) for x in t) else None)(
        drawn_texts(s, shots, next(number))), 30, "the hostile board in the mini view")
    keep_window(s, "hostile-mini")
    check_texts_fit(texts, "mini")
    tip = hover_tip(s, 100, 22 + 3 + 24 + 12)
    for name in ("Binance", "Bitget", "Bybit"):
        check(f"{name} · ETH · 갱신 " in tip, f"the ETH row's tip names {name}: {tip!r}")

    # The server answers every poll at once with the same seq: a few polls a second at most.
    def calls():
        with urllib.request.urlopen(url + "/control/state", timeout=10) as answer:
            return json.loads(answer.read())["calls"]["poll"]
    first, started = calls(), time.monotonic()
    wait_for(lambda: time.monotonic() - started >= 4, 10, "four seconds of polling")
    rate = (calls() - first) / (time.monotonic() - started)
    check(rate <= 10, f"at most 10 polls a second against a spinning server, saw {rate:.1f}")

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")




# ---------------------------------------------------------------------------------------------
# The kimchi premium

CMD_KIMCHI_PREMIUM = 124
PREMIUM_TEXT = re.compile(r"^[+\-−]?\d+\.\d\d%$")


def won_text(krw):
    """The window's won price: whole won with separators, two decimals below ₩100."""
    if krw >= 100:
        return "₩" + f"{int(math.floor(krw + 0.5)):,}"
    return f"₩{krw:.2f}"


def expected_premiums(board, exchanges):
    """Per coin of the board's "krw" cells: (won text, premium in percent) from the mean of the
    shown exchanges' prices and the board's rate, as the window computes it."""
    rate = board["fx"]["krwPerUsd"]
    expected = {}
    for krw in board["krw"]:
        prices = [c["price"] for c in board["cells"]
                  if c["coin"] == krw["coin"] and c["exchange"] in exchanges and c["hasData"]]
        if krw["hasData"] and prices:
            mean = sum(prices) / len(prices)
            expected[krw["coin"]] = (won_text(krw["price"]),
                                     (krw["price"] / (mean * rate) - 1) * 100)
    return expected


def premium_column(texts, left, top, row_height, coins):
    """The texts drawn in the premium column, per coin row."""
    rows = {coin: [] for coin in coins}
    for cell, _, _, text in texts:
        if cell[0] == left and cell[1] >= top:
            index = (cell[1] - top) // row_height
            if index < len(coins):
                rows[coins[index]].append(text)
    return rows


def premium_matches(board, texts, geometry, exchanges, coins):
    """The premium column shows the board's won prices and premiums for every coin."""
    if not board or "krw" not in board or "fx" not in board:
        return False
    expected = expected_premiums(board, exchanges)
    rows = premium_column(texts, *geometry, coins)
    for coin in coins:
        if coin not in expected:
            return False
        won, pct = expected[coin]
        shown = [t for t in rows[coin] if PREMIUM_TEXT.match(t)]
        if won not in rows[coin] or len(shown) != 1:
            return False
        if abs(float(shown[0].replace("−", "-").rstrip("%")) - pct) > 0.006:
            return False
    return True


def case_kimchi_premium(s):
    """With KimchiPremium=1 the table has one more column "업비트 · 김프": per coin the Upbit
    price of the server's board in won and the premium over the average, its hover names the
    three inputs; the menu toggle narrows and widens the window by one column; the strip shows
    the premium after the change."""
    s.start_display()
    s.make_prefix()
    s.start_wine()
    upstream = start_demo_server(s)
    proxy = PriceServerProxy(int(upstream.rsplit(":", 1)[1]))
    s.on_close(proxy.close)
    shots = os.path.join(s.work, "shots")
    os.makedirs(shots)
    write_ini(s.ini_path(), ini_of(ServerUrl=f"http://127.0.0.1:{proxy.port}",
                                   Exchanges="11100", KimchiPremium="1"))
    app = s.start_app(VINDRAL_TEST_SNAPSHOT_DIR=s.windows_path(shots))
    s.driver("wait", "main", 60000)
    # One column more than the 500 px of three exchanges.
    wait_rect(s, docked_corner(608, 194), "the table view with the premium column")
    wait_for(lambda: client_pixel(s, s.screenshot(), 14, 15) == GREEN, 30,
             "the green status dot of a fresh board")

    # The board stops changing, so the column must show exactly its numbers.
    number = iter(range(1, 1000))
    exchanges, coins = ("Binance", "Bitget", "Bybit"), ("BTC", "ETH", "SUI")
    geometry = (10 + 48 + 4 * 108, 28 + 20, 40)
    proxy.freeze()
    texts = wait_for(lambda: (lambda t: t if premium_matches(
        proxy.board(), t, geometry, exchanges, coins) else None)(
        drawn_texts(s, shots, next(number))), 20, "the board's won prices and premiums")
    shot = keep_window(s, "premium-table")
    check_texts_fit(texts, "premium table")
    x, y, _, _ = s.rect()
    check(shot.count(x + 490, y + 28, x + 598, y + 48, DIM_TEXT, 40) >= 5,
          "the premium column's heading")

    board = proxy.board()
    tip = hover_tip(s, 490 + 54, 48 + 30)
    lines = tip.split("\n")
    check_eq(len(lines), 3, f"lines of the premium's tip {tip!r}")
    btc = next(k for k in board["krw"] if k["coin"] == "BTC")
    check(lines[0].startswith("업비트 " + won_text(btc["price"])[1:] + " · "),
          f"the tip's Upbit line {lines[0]!r}")
    check(lines[1].startswith("평균 ") and lines[1].endswith(" 전"),
          f"the tip's average line {lines[1]!r}")
    fx = board["fx"]
    check(lines[2].startswith(f"환율 {fx['krwPerUsd']:,.2f} · {fx['provider']} "),
          f"the tip's rate line {lines[2]!r}")
    s.xdotool("mousemove", 5, 5)
    s.driver("gone", "tip", 10000)
    proxy.thaw()

    # The menu's toggle: one column narrower, and back.
    s.driver("command", "main", CMD_KIMCHI_PREMIUM)
    wait_rect(s, docked_corner(500, 194), "the table view without the premium")
    wait_for(lambda: stored_ini(s).get("KimchiPremium") == "0", 10, "KimchiPremium=0 saved")
    s.driver("command", "main", CMD_KIMCHI_PREMIUM)
    wait_rect(s, docked_corner(608, 194), "the premium column again")

    s.driver("command", "main", CMD_TOGGLE_LOOK)
    wait_for(lambda: s.rect()[3] == 22, 15, "the initials strip")
    compact = re.compile(r"^김프 [+\-−]?\d+\.\d%$")
    texts = wait_for(lambda: (lambda t: t if sum(bool(compact.match(x[3])) for x in t) == 3
                              else None)(drawn_texts(s, shots, next(number))), 20,
                     "the premium after each coin's change in the strip")
    check_texts_fit(texts, "premium strip")
    keep_window(s, "premium-strip")

    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")


def case_kimchi_premium_144dpi(s):
    """At 144 DPI the premium column is 162 px: the table of three exchanges is 912 x 291."""
    s.start_display()
    s.make_prefix(log_pixels=144)
    s.start_wine()
    url = start_demo_server(s)
    shots = os.path.join(s.work, "shots")
    os.makedirs(shots)
    write_ini(s.ini_path(), ini_of(ServerUrl=url, Exchanges="11100", KimchiPremium="1"))
    app = s.start_app(VINDRAL_TEST_SNAPSHOT_DIR=s.windows_path(shots))
    s.driver("wait", "main", 60000)
    wait_rect(s, docked_corner(912, 291, margin=24), "the table view with the premium at 144 DPI")
    number = iter(range(1, 1000))
    geometry = (15 + 72 + 4 * 162, 42 + 30, 60)
    coins = ("BTC", "ETH", "SUI")

    def premiums_shown():
        texts = drawn_texts(s, shots, next(number))
        rows = premium_column(texts, *geometry, coins)
        # Whole, not cut: the won price is the widest text of the table.
        won = all(any(t.startswith("₩") and not t.endswith(ELLIPSES) for t in rows[c])
                  for c in coins)
        pct = all(any(PREMIUM_TEXT.match(t) for t in rows[c]) for c in coins)
        return texts if won and pct else None

    check_texts_fit(wait_for(premiums_shown, 30, "won prices and premiums at 144 DPI"),
                    "premium table at 144 DPI")
    keep_window(s, "premium-table-144dpi")
    open_tray_menu(s)
    choose_menu_item(s, MENU_EXIT)
    wait_exit_code(s, app, "vindral.exe")


CASES = {
    "dialog_host": case_dialog_host,
    "table_view": case_table_view,
    "looks": case_looks,
    "tray_and_instance": case_tray_and_instance,
    "settings_dialog": case_settings_dialog,
    "table_view_144dpi": case_table_view_144dpi,
    "prices": case_prices,
    "refresh_and_stale": case_refresh_and_stale,
    "strip_width": case_strip_width,
    "alerts_fire": case_alerts_fire,
    "alerts_dialog": case_alerts_dialog,
    "first_start_window": case_first_start_window,
    "modal_settings": case_modal_settings,
    "hostile_board": case_hostile_board,
    "kimchi_premium": case_kimchi_premium,
    "kimchi_premium_144dpi": case_kimchi_premium_144dpi,
}


# ---------------------------------------------------------------------------------------------


class Config:
    pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", help="the case to run")
    parser.add_argument("--list", action="store_true", help="list the cases")
    parser.add_argument("--exe", help="vindral.exe")
    parser.add_argument("--driver", help="the Win32 driver program")
    parser.add_argument("--host", help="the settings dialog host program")
    parser.add_argument("--native-dir", default=os.environ.get("VINDRAL_E2E_NATIVE_DIR"),
                        help="native build folder with vindral-server (default build/native)")
    parser.add_argument("--work-root", required=False, help="folder for the cases' sessions")
    parser.add_argument("--artifacts", help="folder for the kept screenshots")
    parser.add_argument("--time-limit", type=int, default=140,
                        help="seconds after which the case fails (and cleans up)")
    parser.add_argument("--source-dir", default=os.path.abspath(
        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")))
    args = parser.parse_args()

    if args.list:
        print("\n".join(CASES))
        return 0
    if args.case not in CASES:
        parser.error(f"unknown case {args.case!r}; one of {', '.join(CASES)}")

    config = Config()
    config.exe = args.exe
    config.driver = args.driver
    config.host = args.host
    config.native_dir = os.path.abspath(args.native_dir or
                                        os.path.join(args.source_dir, "build", "native"))
    config.source_dir = args.source_dir
    config.work_root = args.work_root
    config.artifacts = args.artifacts or os.path.join(args.work_root, "artifacts")
    config.template_prefix = os.path.abspath(os.path.join(args.work_root, "template-prefix"))

    started = time.monotonic()

    def log(text):
        print(f"[{time.monotonic() - started:6.2f}s] {text}", flush=True)

    def out_of_time(signum, frame):
        raise TestFailure(f"the case ran out of time ({args.time_limit} s)")

    signal.signal(signal.SIGALRM, out_of_time)
    signal.signal(signal.SIGTERM, out_of_time)
    signal.alarm(args.time_limit)
    try:
        with Session(config, args.case, log) as session:
            CASES[args.case](session)
    except TestFailure as failure:
        log(f"FAILED: {failure}")
        return 1
    except Exception:  # a crash of the harness itself fails the case too
        traceback.print_exc()
        return 1
    log("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
