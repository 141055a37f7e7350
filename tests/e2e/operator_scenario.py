#!/usr/bin/python3
"""The whole program driven from outside, as an operator would.

Starts the demo panels and the built `pelorin` on the display of the test command (Xvfb with
openbox), with private settings and the test command's private keyring. Widgets are found the way
assistive technology finds them (Qt's accessibility bridge on the AT-SPI bus, by role and name);
they are driven with real X input (xdotool) at the positions the bridge reports; results are read
from screenshots of the display, the settings file and the exported files.

Usage: operator_scenario.py <pelorin> <pelorin-demo-panel> <work folder>
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

PELORIN, DEMO, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
STEP_TIMEOUT = 20.0
STARTED = time.monotonic()


class Failure(Exception):
    pass


def log(text):
    print(f"[{time.monotonic() - STARTED:6.1f} s] {text}", flush=True)


def soon(probe, timeout=3.0):
    """Whether probe() comes true within a short time (for an action that may need a retry).
    Long enough for a loaded machine: a retry while the first action is still being handled
    would act twice."""
    try:
        return wait_for("", probe, timeout, interval=0.05)
    except Failure:
        return False


def wait_for(what, probe, timeout=STEP_TIMEOUT, interval=0.1):
    """Polls probe() until it returns something truthy; fails with `what` after the timeout."""
    started = time.monotonic()
    deadline = started + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            result = probe()
            if result:
                if time.monotonic() - started > 3:  # a hint where the time goes
                    log(f"  took {time.monotonic() - started:.1f} s: {what}")
                return result
        except (Failure, RuntimeError, AttributeError, LookupError) as error:
            last_error = error
        except Exception as error:  # a node that vanished under the walk raises D-Bus errors
            last_error = error
        time.sleep(interval)
    raise Failure(f"timed out waiting for {what}" + (f" ({last_error})" if last_error else ""))


# ---------------------------------------------------------------- processes and files

class Processes:
    def __init__(self):
        self.procs = []

    def start(self, args, env=None, stdout=subprocess.DEVNULL):
        proc = subprocess.Popen(args, env=env, stdout=stdout, stderr=subprocess.STDOUT,
                                start_new_session=True)
        self.procs.append(proc)
        return proc

    def stop_all(self):
        for proc in self.procs:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
        for proc in self.procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)


def settings_path(config_home):
    return os.path.join(config_home, "Pelorin", "PelorinVNC.conf")


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        raise Failure(f"{path} is not a PNG file")
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


# ---------------------------------------------------------------- the display

class Screen:
    """One screenshot of the X display (ImageMagick's import, read as a PPM)."""

    def __init__(self):
        data = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], check=True,
                              stdout=subprocess.PIPE).stdout
        # P6 header: magic, width, height, maxval, each separated by whitespace.
        fields = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        self.width, self.height = int(fields.group(1)), int(fields.group(2))
        self.pixels = data[fields.end():]

    def pixel(self, x, y):
        i = (int(y) * self.width + int(x)) * 3
        return tuple(self.pixels[i:i + 3])

    def count_near(self, rect, colour, tolerance=40):
        """How many pixels of rect (x, y, w, h) lie within tolerance of colour, per channel."""
        x0, y0, w, h = (int(v) for v in rect)
        n = 0
        for y in range(max(0, y0), min(self.height, y0 + h)):
            row = y * self.width * 3
            for x in range(max(0, x0), min(self.width, x0 + w)):
                i = row + x * 3
                if all(abs(self.pixels[i + c] - colour[c]) <= tolerance for c in range(3)):
                    n += 1
        return n


def xdotool(*args):
    subprocess.run(["xdotool", *[str(a) for a in args]], check=True)


def pointer():
    out = subprocess.run(["xdotool", "getmouselocation", "--shell"], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return int(values["X"]), int(values["Y"])


def click_at(x, y, button=1):
    # "mousemove --sync" waits for a motion that never comes when the pointer is already there.
    if pointer() != (int(x), int(y)):
        xdotool("mousemove", "--sync", int(x), int(y))
    xdotool("click", button)


def type_text(text):
    xdotool("type", "--delay", 30, "--", text)


def key(*names):
    xdotool("key", "--delay", 30, *names)


def key_closing(name, title):
    """Presses a key that closes the window `title` and releases it once the window is gone.
    Qt's accessibility bridge holds a copy of each key event until the registry has answered
    and leaks the copy if its target is gone by then, as the closed window is when a loaded
    machine answers late: the sanitizer build reports that leak at exit. Released later, the key
    goes to the window that has the focus next. (Auto-repeat is off for the run.)"""
    xdotool("keydown", name)
    try:
        wait_for(f"«{title}» to close", lambda: not x_window_shown(title))
    finally:
        xdotool("keyup", name)


# ---------------------------------------------------------------- the accessibility tree

def extents(node):
    e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def x_window_origin(title):
    """Where the X server has the top-level window of this title (client area origin)."""
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title,
                          "getwindowgeometry", "--shell"], stdout=subprocess.PIPE, text=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return int(values["X"]), int(values["Y"])


def x_window_shown(title):
    return bool(subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title],
                               stdout=subprocess.PIPE, text=True).stdout.strip())


def centre(node):
    """Screen position of a node's centre. Qt reports the extents of widgets in a frameless
    dialog from the dialog's origin as it knew it before the window manager placed it, so the
    offset is corrected against the X server's own idea of the top-level window."""
    x, y, w, h = extents(node)
    top = node
    while top.parent is not None and top.parent.getRoleName() != "application":
        top = top.parent
    if top is not node:
        tx, ty, _, _ = extents(top)
        try:
            ox, oy = x_window_origin(top.name)
            x, y = x - tx + ox, y - ty + oy
        except (KeyError, ValueError):
            pass
    return x + w // 2, y + h // 2


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


class FocusEvents:
    """Nodes as the bridge announces them when they take the keyboard focus. Qt keeps popup menus
    out of the application's children on the bus; a screen reader meets their entries this way."""

    def __init__(self):
        self.nodes = []
        pyatspi.Registry.registerEventListener(self._focused, "object:state-changed:focused")

    def _focused(self, event):
        if event.detail1:
            self.nodes.append(event.source)

    def forget(self):
        self.pump()
        self.nodes.clear()

    def pump(self):
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass

    def latest(self, role):
        self.pump()
        return next((n for n in reversed(self.nodes) if n.getRoleName() == role), None)


class App:
    """The accessible application of one process (other Qt programs of the test run may share
    the bus, even another pelorin)."""

    def __init__(self):
        self.pid = None

    def root(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.get_process_id() == self.pid:
                return app
        raise LookupError(f"process {self.pid} is not on the accessibility bus")

    def all(self, role=None, name=None, visible=True, under=None):
        """Every node matching role (AT-SPI role name) and name (exact text or compiled regex)."""
        found = []
        stack = [under if under is not None else self.root()]
        while stack:
            node = stack.pop()
            if node is None:
                continue
            try:
                if visible and node.getRoleName() != "application" and not showing(node):
                    continue
                ok = role is None or node.getRoleName() == role
                if ok and name is not None:
                    ok = bool(name.search(node.name)) if hasattr(name, "search") else node.name == name
                if ok:
                    found.append(node)
                stack.extend(reversed([node[i] for i in range(node.childCount)]))
            except Exception:
                continue  # a node that went away during the walk
        return found

    def find(self, role, name, timeout=STEP_TIMEOUT, under=None):
        return wait_for(f"{role} «{name if isinstance(name, str) else name.pattern}»",
                        lambda: (self.all(role, name, under=under) or [None])[0], timeout)

    def click(self, role, name, under=None):
        node = self.find(role, name, under=under)
        click_at(*centre(node))
        return node

    def text_of(self, node):
        t = node.queryText()
        return t.getText(0, t.characterCount)

    def fill(self, role_or_node, name=None, text="", under=None):
        """Focuses a text field by a real click, empties it and types text."""
        node = role_or_node if name is None else self.find(role_or_node, name, under=under)

        # A window just mapped may not take the first click yet: click until the field has focus.
        def focused_after_click():
            click_at(*centre(node))
            return soon(lambda: node.getState().contains(pyatspi.STATE_FOCUSED))
        wait_for(f"focus in «{node.name}»", focused_after_click)
        key("ctrl+a", "BackSpace")
        if text:
            type_text(text)
        return node


# ---------------------------------------------------------------- the program's own widgets

# Demo panel geometry (fixed at the top left of every demo screen).
START_BUTTON = (16, 64, 140, 56)
STOP_BUTTON = (172, 64, 140, 56)
STATE_SAMPLE = (22, 142)
RUNNING = (0x1B, 0x8F, 0x3A)
STOPPED = (0x5A, 0x62, 0x70)
START_FILL = (0x2E, 0x7D, 0x32)
SET_POINT = (16, 208, 296, 44)
EDITING = (0xFF, 0xF4, 0xC2)
TEXT_INK = (0x20, 0x20, 0x20)
DROP_BUTTON = (16, 328, 140, 44)


def rect_centre(r):
    return r[0] + r[2] / 2, r[1] + r[3] / 2


class Pelorin:
    def __init__(self, procs, config_home, home):
        self.procs, self.config_home, self.home = procs, config_home, home
        self.ui = App()
        self.focus = FocusEvents()
        self.proc = None

    def start(self):
        env = dict(os.environ)
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.config_home, QT_QPA_PLATFORM="xcb",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        with open(os.path.join(WORK, "pelorin.log"), "ab") as output:
            self.proc = self.procs.start([PELORIN], env=env, stdout=output)
        self.ui.pid = self.proc.pid
        self.ui.find("frame", "Пелорин — удалённый доступ", timeout=30)

    def exited(self, timeout=STEP_TIMEOUT):
        wait_for("pelorin to exit", lambda: self.proc.poll() is not None, timeout)
        return self.proc.returncode

    def dialog(self, title):
        # Dialogs are top-level windows of the application: a frame or a dialog role. The window
        # manager places a new window after it is mapped, so wait until it stays put.
        # The newest window of that title: an earlier one may linger on the bus after it closed.
        dlg = wait_for(f"dialog «{title}»",
                       lambda: (self.ui.all("dialog", title) + self.ui.all("frame", title) or [None])[-1])
        # Qt learns where the window manager put the window a little later; until then the
        # extents it reports are those of the unplaced window.
        def placed():
            # Mapped on the X side; centre() corrects a stale origin that Qt still reports.
            return x_window_origin(title)
        wait_for(f"«{title}» placed", placed)
        return dlg

    def session(self, name):
        """The session widget of a panel (it carries the panel's name as its accessible name)."""
        return self.ui.find(None, f"Сеанс · {name}")

    def view_point(self, session, panel_size, point):
        """Screen position of a panel pixel in the session's view (fit zoom, centred picture)."""
        view = self.ui.find(None, "Экран панели", under=session)
        vx, vy, vw, vh = extents(view)
        pw, ph = panel_size
        scale = min(vw / pw, vh / ph)
        tw, th = round(pw * scale), round(ph * scale)
        ox, oy = vx + (vw - tw) // 2, vy + (vh - th) // 2
        return ox + point[0] * scale, oy + point[1] * scale

    def status_line(self):
        return self.ui.find("label", "Строка состояния").description

    def choose_file(self, caption, path):
        """Types a full path into the program's file dialog and accepts it."""
        dlg = self.dialog(caption)
        field = self.ui.find("text", "Имя файла", under=dlg)
        self.ui.fill(field, text=path)
        key_closing("Return", caption)

    def add_panel(self, via, name, host, port, group, encryption=None):
        self.ui.click("push button", via)
        dlg = self.dialog("Новое подключение")
        self.ui.fill("text", "Название", name, under=dlg)
        self.ui.fill("text", "IP / имя хоста", host, under=dlg)
        self.ui.fill("spin button", "Порт", str(port), under=dlg)
        self.ui.fill("text", "Группа", group, under=dlg)
        if encryption:
            # On Linux the bridge names a combo box by its current text; its purpose is the
            # description.
            choice = wait_for("the encryption choice", lambda: next(
                (c for c in self.ui.all("combo box", under=dlg) if c.description == "Шифрование"),
                None))

            def chosen():
                click_at(*centre(choice))
                entry = soon(lambda: (self.ui.all(None, encryption) or [None])[0], timeout=2)
                if entry:
                    x, y, w, h = extents(entry)  # a popup reports its own place
                    click_at(x + w // 2, y + h // 2)
                return soon(lambda: choice.name == encryption)
            wait_for(f"«{encryption}» chosen", chosen)
        reconnect = self.ui.find("check box", "Переподключаться при обрыве (до 5 попыток)", under=dlg)
        if not reconnect.getState().contains(pyatspi.STATE_CHECKED):
            click_at(*centre(reconnect))
        self.ui.click("push button", "Сохранить", under=dlg)
        wait_for("the editor to close", lambda: not x_window_shown("Новое подключение"))
        return self.tree_item(name, host, port)

    def tree_item(self, name, host, port):
        return self.ui.find(None, f"{name}\n{host}:{port}")

    def lock(self, session):
        """The lock in a session's header, by the accessible name a checked session gives it (a
        label showing a picture: the bridge gives it the role of an image)."""
        return self.ui.find(None, "Шифрованное соединение, подлинность панели подтверждена",
                            under=session)

    def open_panel(self, name, host, port, answer_prompt=False):
        click_at(*centre(self.tree_item(name, host, port)))
        self.ui.click("push button", "Открыть панель →")
        if answer_prompt:
            # No password remembered: the prompt asks; an empty answer connects without one.
            title = f"Подключение · {name}"
            button = self.ui.find("push button", "Подключить", under=self.dialog(title))

            # A window just mapped may drop the first click; the X server knows when it is gone.
            def accepted():
                click_at(*centre(button))
                return soon(lambda: not x_window_shown(title))
            wait_for("the prompt to be accepted", accepted)

    def choose_menu_entry(self, button, entry):
        """Opens a button's menu, walks into it as a keyboard user would, and clicks the entry."""
        self.focus.forget()
        click_at(*centre(button))
        item = wait_for("an entry of the menu to take the focus",
                        lambda: key("Down") or self.focus.latest("menu item"), interval=0.3)
        node = next((child for child in item.parent if child.name == entry), None)
        if node is None:
            raise Failure(f"the menu has no entry «{entry}»")
        x, y, w, h = extents(node)  # a popup reports its own place; no window to correct against
        click_at(x + w // 2, y + h // 2)

    def journal_text(self):
        self.ui.click("push button", "Журнал")
        dlg = self.dialog("Журнал подключений")
        view = wait_for("the journal view", lambda: self.ui.all("text", None, under=dlg)[0])
        return dlg, self.ui.text_of(view)

    def close_dialog(self, dlg):
        key_closing("Escape", dlg.name)


def panels_from(proc):
    """Reads the demo panels' lines: name first, port last."""
    panels = []
    while len(panels) < 4:
        line = proc.stdout.readline().decode("utf-8")
        if not line:
            raise Failure("pelorin-demo-panel stopped before all panels listened")
        words = line.split()
        panels.append((" ".join(words[:-1]), int(words[-1])))
    return panels


def main():
    procs = Processes()
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    config_home, home = os.path.join(WORK, "config"), os.path.join(WORK, "home")
    os.makedirs(config_home)
    os.makedirs(home)
    try:
        # A key held until its window closes must not repeat into the next one.
        subprocess.run(["xset", "r", "off"], check=True)
        demo = procs.start([DEMO, "--base-port", "0"], stdout=subprocess.PIPE)
        demo_panels = panels_from(demo)
        log(f"demo panels: {demo_panels}")
        # The same panels once more, offering only VeNCrypt with the demo's certificate.
        tls_demo = procs.start([DEMO, "--base-port", "0", "--tls"], stdout=subprocess.PIPE)
        tls_port = panels_from(tls_demo)[0][1]
        ports = [port for _, port in demo_panels]
        sizes = [(800, 480), (1024, 600), (1280, 800), (640, 480)]
        names = ["Line A press", "Line B filler", "Line C oven", "Line D labeller"]
        app = Pelorin(procs, config_home, home)

        log("1. first start: the welcome page; a panel added through the editor")
        app.start()
        app.ui.find("label", re.compile("^Оборудование"))
        app.add_panel("+  Добавить панель", names[0], "127.0.0.1", ports[0], "Demo")
        heading = app.ui.find(None, "Demo")
        item = app.tree_item(names[0], "127.0.0.1", ports[0])
        if extents(item)[1] <= extents(heading)[1]:
            raise Failure("the new panel is not listed under its group heading")

        log("2. the panel with a VNC password: prompt, password, picture")
        app.add_panel("+  Новая панель", names[1], "127.0.0.1", ports[1], "Demo")
        app.open_panel(names[1], "127.0.0.1", ports[1])
        app.dialog(f"Подключение · {names[1]}")  # the password field has the focus
        type_text("demo")
        key_closing("Return", f"Подключение · {names[1]}")
        session = app.session(names[1])


        def start_fill_shown():
            x, y = app.view_point(session, sizes[1], (22, 70))
            return Screen().count_near((x - 2, y - 2, 5, 5), START_FILL, 30) >= 20
        wait_for("the panel's picture («Пуск» in its colour)", start_fill_shown)

        log("3. «Пуск» and digits typed into the set point")
        def state_is(colour):
            return Screen().count_near((*app.view_point(session, sizes[1], STATE_SAMPLE), 3, 3),
                                       colour, 30) >= 6
        if state_is(RUNNING):  # this machine runs from the start: stop it first
            click_at(*app.view_point(session, sizes[1], rect_centre(STOP_BUTTON)))
            wait_for("the state area to show the stopped colour", lambda: state_is(STOPPED))
        click_at(*app.view_point(session, sizes[1], rect_centre(START_BUTTON)))
        wait_for("the state area to show the running colour", lambda: state_is(RUNNING))
        x0, y0 = app.view_point(session, sizes[1], SET_POINT[:2])
        x1, y1 = app.view_point(session, sizes[1], (SET_POINT[0] + SET_POINT[2],
                                                    SET_POINT[1] + SET_POINT[3]))
        field = (x0, y0, x1 - x0, y1 - y0)
        ink_before = Screen().count_near(field, TEXT_INK, 60)
        click_at(*app.view_point(session, sizes[1], rect_centre(SET_POINT)))
        type_text("4217")

        def digits_typed():  # the field in its typing colour, with other text than before
            shot = Screen()
            return (shot.count_near(field, EDITING, 20) > 0
                    and shot.count_near(field, TEXT_INK, 60) != ink_before)
        wait_for("the typed digits in the set-point field", digits_typed)
        key("Return")

        log("4. the link-drop button: the session reconnects by itself")
        click_at(*app.view_point(session, sizes[1], rect_centre(DROP_BUTTON)))
        def reconnected():
            dlg, text = app.journal_text()
            app.close_dialog(dlg)
            lines = [l for l in text.splitlines() if names[1] in l]
            ends = [i for i, l in enumerate(lines) if "Соединение закрыто сервером" in l]
            ups = [i for i, l in enumerate(lines) if "Соединение установлено" in l]
            return ends and ups and ups[-1] > ends[0]
        wait_for("a journal line of the end and «Соединение установлено» after it", reconnected,
                 timeout=30, interval=1.0)

        log("5. «4 панели»: four live panels")
        # On Linux the bridge names a combo box by its current text; its purpose is the description.
        layout = wait_for("the layout choice", lambda: next(
            (c for c in app.ui.all("combo box") if c.description == "Раскладка"), None))
        click_at(*centre(layout))
        app.ui.click(None, "4 панели")
        app.add_panel("+  Новая панель", names[2], "127.0.0.1", ports[2], "Demo")
        app.open_panel(names[2], "127.0.0.1", ports[2], answer_prompt=True)
        app.add_panel("+  Новая панель", names[3], "127.0.0.1", ports[3], "Demo")
        app.open_panel(names[3], "127.0.0.1", ports[3], answer_prompt=True)
        app.open_panel(names[0], "127.0.0.1", ports[0], answer_prompt=True)
        wait_for("«на связи: 4» in the status line", lambda: "на связи: 4" in app.status_line(),
                 timeout=30)

        log("6. a snapshot through the session's tools menu")
        snapshot = os.path.join(WORK, "snapshot.png")
        app.choose_menu_entry(app.ui.find("push button", "Инструменты панели", under=session),
                              "Сохранить снимок…")
        app.choose_file("Снимок панели", snapshot)
        wait_for("the snapshot file", lambda: os.path.exists(snapshot))
        if png_size(snapshot) != sizes[1]:
            raise Failure(f"snapshot is {png_size(snapshot)}, the panel is {sizes[1]}")

        log("7. the journal exported")
        export = os.path.join(WORK, "diagnostics.txt")
        app.ui.click("push button", "Журнал")
        dlg = app.dialog("Журнал подключений")
        export_button = app.ui.find("push button", "Экспорт диагностики…", under=dlg)

        def chooser_open():  # a window just mapped may drop the first click
            click_at(*centre(export_button))
            return soon(lambda: x_window_shown("Экспорт журнала"), timeout=5)
        wait_for("the save dialog after a click", chooser_open)
        app.choose_file("Экспорт журнала", export)
        wait_for("the exported journal", lambda: os.path.exists(export))
        with open(export, "rb") as f:
            data = f.read()
        if not data.startswith("Пелорин — удалённый доступ 2.0\n".encode()):
            raise Failure("the export does not start with the header line")
        if b"demo" in data:
            raise Failure("the export holds the panel's password")
        app.close_dialog(dlg)

        log("8. close with confirmation, start again: the grid comes back unconnected")
        app.ui.click("push button", "Выход")
        question = app.dialog("Выход")
        app.ui.click("push button", "Продолжить", under=question)
        if app.exited() != 0:
            raise Failure("pelorin did not exit cleanly")
        with open(settings_path(config_home), encoding="utf-8") as f:
            if "workspaceV2" not in f.read():
                raise Failure("the workspace was not saved")
        app.start()
        for name in names:  # only the grid shows four sessions at once
            app.session(name)
        wait_for("«Открыто: 4 · на связи: 0»",
                 lambda: app.status_line().startswith("Открыто: 4 · на связи: 0"))

        log("9. an encrypted panel: first use, trust, the lock, a dropped link without a question")
        secure = "Line E secure"
        question = "Подлинность панели не подтверждена"
        app.add_panel("+  Новая панель", secure, "127.0.0.1", tls_port, "Demo", "Обязательно")
        app.open_panel(secure, "127.0.0.1", tls_port, answer_prompt=True)
        dlg = app.dialog(question)
        fingerprint = app.ui.find("label", "Отпечаток SHA-256", under=dlg).description
        if not re.fullmatch(r"([0-9A-F]{4} ){15}[0-9A-F]{4}", fingerprint):
            raise Failure(f"the dialog shows the fingerprint as «{fingerprint}»")
        trust = app.ui.find("push button", "Доверять этой панели", under=dlg)

        def trusted():  # a window just mapped may drop the first click
            click_at(*centre(trust))
            return soon(lambda: not x_window_shown(question))
        wait_for("the question to be answered", trusted)
        session = app.session(secure)
        lock = app.lock(session)
        if fingerprint not in lock.description:
            raise Failure(f"the lock describes «{lock.description}», not the trusted certificate")
        with open(settings_path(config_home), encoding="utf-8") as f:
            if fingerprint.replace(" ", "").lower() not in f.read():
                raise Failure("the trusted certificate is not stored with the panel")
        shot = os.path.join(WORK, "lock.png")
        subprocess.run(["import", "-window", "root", shot], check=False)

        click_at(*app.view_point(session, sizes[0], rect_centre(DROP_BUTTON)))

        def reconnected_silently():
            if x_window_shown(question):
                raise Failure("a second question about the same certificate")
            dlg, text = app.journal_text()
            app.close_dialog(dlg)
            lines = [l for l in text.splitlines() if secure in l]
            ends = [i for i, l in enumerate(lines) if "Соединение закрыто сервером" in l]
            ups = [i for i, l in enumerate(lines) if "подлинность панели подтверждена" in l]
            return ends and ups and ups[-1] > ends[0]
        wait_for("the encrypted session back after the dropped link", reconnected_silently,
                 timeout=30, interval=1.0)
        app.lock(session)
        dlg, text = app.journal_text()
        app.close_dialog(dlg)
        if sum("Сертификат панели принят оператором" in l for l in text.splitlines()) != 1:
            raise Failure("the journal does not hold exactly one trust decision")
        log(f"passed in {time.monotonic() - STARTED:.1f} s")
        return 0
    except Failure as failure:
        shot = os.path.join(WORK, "failure.png")
        subprocess.run(["import", "-window", "root", shot], check=False)
        log(f"FAILED: {failure} (screen: {shot})")
        return 1
    finally:
        procs.stop_all()
        subprocess.run(["xset", "r", "on"], check=False)


if __name__ == "__main__":
    sys.exit(main())
