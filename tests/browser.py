"""Opening a page in headless Chromium: the DOM after its scripts ran, and its console errors.

The page is copied with a small script placed first in its head that records uncaught errors,
rejected promises and ``console.error`` calls in an attribute of the document element, so the
dumped DOM carries them; Chromium's own log of console messages is returned beside it.
"""

from __future__ import annotations

import html
import json
import re
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

_CAPTURE = """<script>
(function () {
  var errors = [];
  function keep(what) {
    errors.push(String(what));
    document.documentElement.setAttribute("data-console-errors", JSON.stringify(errors));
  }
  document.documentElement.setAttribute("data-console-errors", "[]");
  window.addEventListener("error", function (e) { keep(e.message || e); });
  window.addEventListener("unhandledrejection", function (e) { keep(e.reason); });
  var original = console.error;
  console.error = function () {
    keep(Array.prototype.join.call(arguments, " "));
    return original.apply(console, arguments);
  };
})();
</script>"""


@dataclass(frozen=True)
class Rendered:
    dom: str
    #: errors recorded inside the page (uncaught, rejected, console.error)
    errors: list[str]
    #: every console message of Chromium's log, whatever its level
    console: list[str]


def chromium() -> str:
    """The Chromium executable, or a skip saying why there is none."""
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("no Chromium on this machine (Debian's chromium package could not be installed)")


def render(page: Path, workdir: Path, budget_ms: int = 15000) -> Rendered:
    """Load ``page`` in headless Chromium and return the DOM once its scripts have run."""
    text = page.read_text(encoding="utf-8")
    copy = workdir / f"capture-{page.name}"
    copy.write_text(text.replace("<head>", "<head>\n" + _CAPTURE, 1), encoding="utf-8")
    command = [
        chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
        f"--user-data-dir={workdir / 'chromium-profile'}", "--enable-logging=stderr", "--v=0",
        f"--virtual-time-budget={budget_ms}", "--dump-dom", copy.as_uri(),
    ]  # fmt: skip
    done = subprocess.run(command, capture_output=True, text=True, timeout=180, check=False)
    assert done.returncode == 0, done.stderr[-2000:]
    found = re.search(r'data-console-errors="([^"]*)"', done.stdout)
    assert found, "the capture script did not run"
    errors = json.loads(html.unescape(found.group(1)))
    console = re.findall(r":CONSOLE[^\]]*\] (.*)", done.stderr)
    return Rendered(dom=done.stdout, errors=errors, console=console)


def chart_blocks(dom: str) -> dict[str, str]:
    """The DOM of each ``chart-<name>`` element, up to the next one, by name."""
    starts = [(m.start(), m.group(1)) for m in re.finditer(r'<div id="chart-([\w-]+)"', dom)]
    ends = [s for s, _ in starts[1:]] + [len(dom)]
    return {name: dom[start:end] for (start, name), end in zip(starts, ends)}
