#!/usr/bin/python3
"""Runs the installer on a display of its own and reads its window through AT-SPI as a screen reader does; prints
what it saw, a fact a line. In dbus-run-session: window_reader.py [--wayland] [--escape] [--escape-starting]
[--shot PNG] [--marker FILE] [--locale NAME] [--contrast] [--wm] --err FILE -- INSTALLER... --escape: press Escape
once the download or an alert shows; --escape-starting: 1 s after the agent started. --marker: the agent makes FILE
when it starts, FILE.done when it ends. --contrast: the texts' contrast on screen, while downloading and after a
failure. --wm: under a window manager (twm). Exit 77: a skip."""
import argparse, atexit, os, re, shutil, subprocess, sys, tempfile, time

p = argparse.ArgumentParser()
flags = ("--wayland", "--escape", "--escape-starting", "--contrast", "--wm")
for option in flags + ("--shot", "--marker", "--locale", "--err"):
    p.add_argument(option, **({"action": "store_true"} if option in flags else {}))
p.add_argument("installer", nargs="+")
a = p.parse_args()
work, lines = tempfile.mkdtemp(), []
atexit.register(shutil.rmtree, work, True)


def skip(why):
    print("skip: " + why)
    sys.exit(77)


for tool in ("weston", "weston-screenshooter") if a.wayland else ("Xvfb", "xwininfo", "import", "xev") + ("twm",) * a.wm:
    if not shutil.which(tool):
        skip(tool + " is not installed")
if a.locale and a.locale.replace("UTF-8", "utf8") not in subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout:
    os.environ["LOCPATH"] = work  # a private copy, made now
    if subprocess.run(["localedef", "-c", "-i", a.locale.split(".")[0], "-f", "UTF-8", work + "/" + a.locale]).returncode > 1:
        skip("cannot generate the locale " + a.locale)
if a.wayland:
    os.environ.update(XDG_RUNTIME_DIR=work, WAYLAND_DISPLAY="wl-reader")
    os.environ.pop("DISPLAY", None)
    display = subprocess.Popen(["weston", "--backend=headless-backend.so", "--use-pixman", "--socket=wl-reader",
                                "--width=1024", "--height=800", "--idle-time=0", "--debug", "--no-config"],
                               stderr=subprocess.DEVNULL)
    while not os.path.exists(work + "/wl-reader") and display.poll() is None:
        time.sleep(0.05)
else:
    r, w = os.pipe()
    # -noreset: once its last client leaves, a resetting server drops the next one.
    display = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1600x1400x24", "-nolisten", "tcp",
                                "-noreset"], pass_fds=[w], stderr=subprocess.DEVNULL)
    os.environ["DISPLAY"] = ":" + os.read(r, 16).decode().strip()
    os.environ.pop("WAYLAND_DISPLAY", None)
atexit.register(display.kill)
# Every window the X server maps, however briefly.
maps = None if a.wayland else subprocess.Popen(["xev", "-root", "-event", "substructure"], stdout=subprocess.PIPE,
                                               stderr=subprocess.DEVNULL, text=True)
if a.wm:  # placing new windows itself, not asking for a click; in the server's own font
    open(work + "/twmrc", "w").write('RandomPlacement\nUsePPosition "on"\n' + "".join(
        '%sFont "fixed"\n' % use for use in ("Title", "Resize", "Menu", "Icon", "IconManager")))
    atexit.register(subprocess.Popen(["twm", "-f", work + "/twmrc"], stderr=subprocess.DEVNULL).kill)
time.sleep(0.2)  # listening, and managing, before the installer starts
# The accessibility bus and registry, started on demand, must see this display.
subprocess.run(["dbus-update-activation-environment", "DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"], check=True)
try:
    import pyatspi
    from gi.repository import GLib
except ImportError as e:
    skip("no AT-SPI client (python3-pyatspi): %s" % e)
pyatspi.setTimeout(1500, 1500)  # a window that does not answer by then is frozen

start = time.monotonic()
installer = subprocess.Popen(a.installer, stdout=subprocess.DEVNULL, stderr=open(a.err, "wb"))
atexit.register(installer.kill)
seen = {"values": [], "texts": [0, 0], "tree": [], "agent": None, "heights": {}, "said": [], "contrast": {}}


def walk(node, depth, out):
    """Lines of the tree of what shows, as "role 'name' relation state"."""
    if depth and not node.getState().contains(pyatspi.STATE_SHOWING):
        return
    out.append("  " * depth + "%s %r" % (node.getRoleName(), node.name) + "".join(
        " labelled-by %r" % r.getTarget(0).name for r in node.getRelationSet()
        if r.getRelationType() == pyatspi.RELATION_LABELLED_BY) +
        (" described %r" % node.description if node.getRoleName() == "progress bar" and node.description else "") +
        (" focused" if node.getState().contains(pyatspi.STATE_FOCUSED) else ""))
    if node.getRoleName() == "progress bar":
        seen["values"].append(node.queryValue().currentValue)
    for child in node:
        walk(child, depth + 1, out)


def window():
    """The tree and the status text (its first label); None without an answer."""
    try:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "bootstrap-installer":
                out = []
                walk(app[0], 0, out)
                seen["frame"] = app[0]
                return out, next((re.match(r"\s*label '(.*)'", l)[1] for l in out if "label '" in l), "")
    except Exception:
        return None


def screenshot():
    if a.wayland:
        subprocess.run(["weston-screenshooter"], cwd=work, capture_output=True)
        for name in os.listdir(work):
            if name.startswith("wayland-screenshot"):
                shutil.move(os.path.join(work, name), a.shot)
    else:
        subprocess.run(["import", "-window", "root", a.shot], capture_output=True)
    # A one-pixel checkerboard drawn pixel for pixel: black and white alternating across 700 pixels, in 700 rows.
    ppm = subprocess.run(["convert", a.shot, "-depth", "8", "ppm:-"], capture_output=True).stdout
    width, height, body = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s(.*)", ppm, re.S).groups()
    row, pattern = int(width) * 3, re.compile(rb"(?:\x00\x00\x00\xff\xff\xff){350}")
    rows = sum(1 for y in range(int(height)) if pattern.search(body, y * row, (y + 1) * row))
    lines.append("checkerboard: " + ("sharp" if rows >= 700 else "blurred (%d rows)" % rows))


def on_text(event):
    if event.source.getRoleName() == "label" and event.source.getIndexInParent() in (0, 1):
        seen["texts"][event.source.getIndexInParent()] += 1


def on_shown(event):
    seen.setdefault("mapped", time.monotonic() - start)


def on_showing(event):
    if event.detail1 and event.source.getRoleName() == "alert":
        event.source.clear_cache()  # the name as it is now, not as it was when last seen
        lines.append("alert: %s | %s" % (event.source.name, event.source.description))
        seen["said"].append("alert")


def on_value(event):
    if event.source.getRoleName() == "progress bar":
        value = event.source.queryValue()
        seen["said"].append("full bar" if value.currentValue >= value.maximumValue else "bar")


def contrast_on_screen(state):
    """The contrast of each text label's darkest or lightest pixel with its most common one, on a screenshot."""
    shot = work + "/contrast.png"
    subprocess.run(["import", "-window", "root", shot], capture_output=True)
    ppm = subprocess.run(["convert", shot, "-depth", "8", "ppm:-"], capture_output=True).stdout
    width, height, body = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s(.*)", ppm, re.S).groups()
    width = int(width)
    lum = lambda c: sum(w * (v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4)
                        for w, v in zip((0.2126, 0.7152, 0.0722), (x / 255 for x in c)))
    ratio = lambda a, b: (max(lum(a), lum(b)) + 0.05) / (min(lum(a), lum(b)) + 0.05)
    texts = seen["frame"][0][2]  # the frame's box, its filler of texts
    texts[0].clear_cache()
    if (state == "failed") != (not texts[0].name.endswith("%")):  # shot as it changed: another time
        return seen["contrast"].pop(state)
    for i, name in enumerate(("error" if state == "failed" else "status", "cause" if state == "failed" else "detail")):
        x, y, w, h = texts[i].queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pixels = [tuple(body[(r * width + c) * 3:(r * width + c) * 3 + 3]) for r in range(y, y + h) for c in range(x, x + w)]
        if not pixels:
            continue
        background = max(set(pixels), key=pixels.count)
        seen["contrast"][name] = max(ratio(p, background) for p in set(pixels))


def look(now):
    if a.marker and seen["agent"] is None and os.path.exists(a.marker):
        seen["agent"] = now
    if seen["agent"] is not None:
        return starting(now - seen["agent"])
    found = window()
    alerted = any(line.startswith("alert:") for line in lines)
    if found and (found[1].endswith("%") or alerted):  # the window's height, downloading and after a failure
        state = "failed" if alerted else "downloading"
        height = seen["frame"].queryComponent().getExtents(pyatspi.DESKTOP_COORDS)[3]
        status = seen["frame"][0][2][0]
        status.clear_cache()  # still downloading once measured: the cached name may lag behind
        if alerted or status.name.endswith("%"):
            seen["heights"][state] = max(seen["heights"].get(state, 0), height)
        if alerted and "after alert" not in seen:
            seen["after alert"] = [l.strip() for l in found[0] if "push button" in l]
        if a.contrast and state not in seen["contrast"] and now - seen.get("mapped", now) > 0.5:
            seen["contrast"][state] = True
            contrast_on_screen(state)
    if found and found[1].endswith("%"):  # downloading: the first tree with the time left, else the last
        if "\u2014" not in "".join(seen["tree"]):
            seen["tree"] = found[0]
        if a.shot and not os.path.exists(a.shot) and now > 2:
            screenshot()
    measured = not a.contrast or "failed" in seen["contrast"]  # with --contrast: once measured after the alert
    if a.escape and "escape: pressed" not in lines and found and (found[1].endswith("%") and not a.contrast or
                                                                   alerted and measured):
        pyatspi.Registry.generateKeyboardEvent(0xff1b, None, pyatspi.KEY_SYM)
        lines.append("escape: pressed")


def starting(since):
    """While the agent starts: what the window answers at 1 s and 2 s, and when it is gone."""
    if any(line.startswith("closed:") for line in lines):
        return
    viewable = "IsViewable" in subprocess.run(["xwininfo", "-name", "Installer"], capture_output=True, text=True).stdout
    seen["viewable"] = seen.get("viewable") or viewable
    if not viewable and (seen["viewable"] or since > 1 or installer.poll() is not None):
        running = not os.path.exists(a.marker + ".done")
        lines.append("closed: " + ("at once" if since < 2 else "later") + (", agent running" if running else ""))
        if running:  # a screen reader lists the applications: the installer gone, or answering
            try:
                names = []
                for app in pyatspi.Registry.getDesktop(0):
                    if app is not None:
                        app.clear_cache()  # asks each application for its name, as a screen reader does
                        names.append(app.name)
                lines.append("bus: " + ("answers" if "bootstrap-installer" in names else "gone"))
            except Exception as e:  # the name without an owner is gone; a silent one times out
                gone = re.search(r"ServiceUnknown|NameHasNoOwner|Disconnected", str(e))
                lines.append("bus: " + ("gone" if gone else "no answer (%s)" % e))
        return
    for second in (1, 2):
        if since >= second and not any(line.startswith("at %d s" % second) for line in lines):
            found = window()  # a frozen window does not answer
            lines.append("at %d s: %s" % (second, found[1] if found else "no answer"))
            if a.escape_starting and second == 1:
                pyatspi.Registry.generateKeyboardEvent(0xff1b, None, pyatspi.KEY_SYM)
                lines.append("escape: pressed")


def tick():
    now = time.monotonic() - start
    exited = installer.poll() is not None  # asked first, so the last look comes after the end
    try:
        look(now)
    except Exception as e:
        lines.append("reader: %r" % e)
    # The agent may write its marker only after the installer is gone.
    if (not exited or a.marker and seen["agent"] is None) and now < 60:
        return True
    pyatspi.Registry.stop()


pyatspi.Registry.registerEventListener(on_showing, "object:state-changed:showing")
pyatspi.Registry.registerEventListener(on_text, "object:property-change:accessible-name")
pyatspi.Registry.registerEventListener(on_shown, "window:create")
pyatspi.Registry.registerEventListener(on_value, "object:property-change:accessible-value")
GLib.timeout_add(100, tick)
pyatspi.Registry.start()
installer.kill()
seconds, values = time.monotonic() - start, seen["values"]
print("tree:\n" + "\n".join(seen["tree"] or ["none"]))
# Up to the fullest bar seen: once the download is whole the bar may start over.
rising = values[:values.index(max(values)) + 1] if values else []
print("progress: " + ("moved" if len(set(rising)) > 2 and rising == sorted(rising) else "still %s" % values))
# At most 4 changes a second, each of the status and the detail text.
print("texts: " + ("calm" if max(seen["texts"]) <= 4 * seconds + 1 else "flooded %s in %.1f s" % (seen["texts"], seconds)))
heights = seen["heights"]
if len(heights) == 2:
    print("height: %s (%d px downloading, %d px failed)" % (
        "kept" if heights["failed"] <= heights["downloading"] else "grew", heights["downloading"], heights["failed"]))
if "after alert" in seen:
    print("after alert: " + ", ".join(seen["after alert"]))
if "alert" in seen["said"]:  # what the bus said around the alert, repeats folded
    said = seen["said"]
    print("said: " + " ".join(w for i, w in enumerate(said) if i == 0 or said[i - 1] != w))
if maps:
    maps.terminate()
    print("mapped: " + ("yes" if "MapNotify" in maps.communicate()[0] else "never"))
ratios = {k: v for k, v in seen["contrast"].items() if not isinstance(v, bool)}
if ratios:
    print("contrast: %s (%s)" % ("enough" if min(ratios.values()) >= 4.5 else "low",
                                 ", ".join("%s %.2f" % kv for kv in sorted(ratios.items()))))
print("\n".join(lines + ["exit: %d" % installer.wait()]))
