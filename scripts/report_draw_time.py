#!/usr/bin/env python3
"""Times a report page in headless chromium, in real (not virtual) time.

    scripts/report_draw_time.py PAGE.html [--until first|all] [--runs N]

Drives Debian's chromium over its DevTools pipe: opens the page and waits
until it says it is drawn. "first" waits for the charts of the first screen
(<html data-first-screen>); "all" asks the page to draw every chart
(window.orvtsdbDrawAll) or, on a page without that call, waits for
<html data-charts-drawn="all">. Prints the page's size and, per run, the
seconds from the start of navigation to drawn (1400x1000 window).
"""
import argparse
import fcntl
import json
import os
import subprocess
import sys
import tempfile
import time


class Browser:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="report-draw-")
        r_ours, w_theirs = os.pipe()  # chromium writes to fd 4
        r_theirs, w_ours = os.pipe()  # chromium reads from fd 3

        def fds():
            # Moved out of the way first, so that neither lands on the other.
            r = fcntl.fcntl(r_theirs, fcntl.F_DUPFD, 10)
            w = fcntl.fcntl(w_theirs, fcntl.F_DUPFD, 10)
            os.dup2(r, 3)
            os.dup2(w, 4)

        self.proc = subprocess.Popen(
            ["/usr/bin/chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-pipe", "--window-size=1400,1000",
             "--user-data-dir=" + self.profile, "about:blank"],
            preexec_fn=fds, pass_fds=(3, 4),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(r_theirs)
        os.close(w_theirs)
        self.out = os.fdopen(w_ours, "wb", buffering=0)
        self.inp = os.fdopen(r_ours, "rb", buffering=0)
        self.buf = b""
        self.next_id = 0

    def _message(self):
        while b"\0" not in self.buf:
            chunk = self.inp.read(65536)
            if not chunk:
                raise RuntimeError("chromium closed its pipe")
            self.buf += chunk
        msg, self.buf = self.buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, params=None, session=None):
        self.next_id += 1
        req = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            req["sessionId"] = session
        self.out.write(json.dumps(req).encode() + b"\0")
        while True:
            m = self._message()
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError(method + ": " + json.dumps(m["error"]))
                return m["result"]

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:
            pass
        self.proc.wait(timeout=20)


def evaluate(b, session, expr, wait=False):
    r = b.call("Runtime.evaluate", {"expression": expr, "returnByValue": True,
                                    "awaitPromise": wait}, session)
    return r["result"].get("value")


def time_once(page, until):
    b = Browser()
    try:
        target = b.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = b.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        b.call("Page.enable", {}, session)
        started = time.monotonic()
        b.call("Page.navigate", {"url": "file://" + os.path.abspath(page)}, session)
        deadline = started + 300
        while time.monotonic() < deadline:
            state = evaluate(b, session,
                             "document.readyState === 'complete' ? "
                             "[document.documentElement.dataset.firstScreen || '', "
                             "document.documentElement.dataset.chartsDrawn || '', "
                             "typeof window.orvtsdbDrawAll] : null")
            if state:
                first, drawn_all, draw_all = state
                if until == "first" and (first or drawn_all == "all"):
                    break
                if until == "all" and draw_all == "function":
                    evaluate(b, session, "window.orvtsdbDrawAll()", wait=True)
                    break
                if until == "all" and drawn_all == "all":
                    break
            time.sleep(0.02)
        else:
            raise RuntimeError(page + ": not drawn within 300 s")
        return time.monotonic() - started
    finally:
        b.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("page")
    p.add_argument("--until", choices=["first", "all"], default="first")
    p.add_argument("--runs", type=int, default=3)
    a = p.parse_args()
    size = os.path.getsize(a.page)
    times = [time_once(a.page, a.until) for _ in range(a.runs)]
    print("%s: %.2f MB, drawn (%s) in %s s (median %.2f)" % (
        a.page, size / 1e6, a.until, " ".join("%.2f" % t for t in times),
        sorted(times)[len(times) // 2]))


if __name__ == "__main__":
    sys.exit(main())
