"""report.html in a real browser: a run of the native helper through the runner writes it into
its record, the record is copied elsewhere, and headless Chromium (one start for the module)
opens the copy from file://, finds the steps and verdicts, sees no request leave the file,
and takes a screenshot that is not blank. Then a run whose page cannot be written keeps its
record and its exit code."""

import http.server
import io
import json
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

import kestrune  # noqa: E402

ROOT = Path(__file__).resolve().parents[3]
TOOL = ROOT / "tools" / "kestrune"
NATIVE = kestrune.NATIVE_BUILD / "kestrune-load"
FIXTURE = Path(__file__).parent / "fixtures" / "sysfs"
CHROMEDRIVER = Path("/usr/bin/chromedriver")
COLUMN = "coretemp_package_id_0_c"  # reads 54 °C in the fixture

pytestmark = [pytest.mark.skipif(not NATIVE.is_file(), reason=f"{NATIVE} not built"),
              pytest.mark.skipif(not CHROMEDRIVER.is_file(), reason="chromium-driver not installed")]


def tool(*args):
    env = {k: v for k, v in os.environ.items() if k != "KESTRUNE_SYSFS_ROOT"}
    p = subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True, env=env,
                       timeout=90)
    return p.returncode, p.stdout + p.stderr


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1100,1300"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    driver = webdriver.Chrome(service=Service(str(CHROMEDRIVER)), options=options)
    try:
        yield driver
    finally:
        driver.quit()


class _Trap(http.server.BaseHTTPRequestHandler):
    """A server that a page's markup would reach if it were not text: it counts requests."""
    hits = []

    def do_GET(self):
        self.hits.append(self.path)
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def test_the_record_page_opens_from_a_copied_folder_with_its_steps_and_nothing_fetched(tmp_path, browser):
    trap = http.server.HTTPServer(("127.0.0.1", 0), _Trap)
    threading.Thread(target=trap.serve_forever, daemon=True).start()
    lure = f"<img src=http://127.0.0.1:{trap.server_port}/leak>"
    prof = tmp_path / "page.toml"
    prof.write_text(f'name = "page"\nsysfs_root = "{FIXTURE}"\nsensors = ["temp:coretemp/Package id 0"]\n'
                    f'[load]\ncpu = true\n[power.cpu]\nidle_w = 15\nspan_w = 45\nlag_s = 0.2\n'
                    f'[verdict]\ntolerance_pct = 10\nsettle_s = 1\n[safety]\nsensor_max = {{ {COLUMN} = 90.0 }}\n'
                    f'[[steps]]\nname = "{lure}"\nseconds = 1.5\ncpu = "free"\n'
                    f'verdict = {{ sensor_max = {{ {COLUMN} = 50.0 }} }}\n'
                    '[[steps]]\nname = "hold"\nseconds = 2.5\ncpu = { mode = "target", watts = 30 }\n')
    out = tmp_path / "out"
    code, text = tool("run", prof, "--out", out)
    assert code in (0, 3), text
    assert "report.html" in text.splitlines()[-1]
    summary = json.loads((out / "summary.json").read_text())
    copied = tmp_path / "elsewhere" / "copy"
    shutil.copytree(out, copied)
    shutil.rmtree(out)

    browser.get_log("performance")  # what came before this page is not its doing
    browser.get((copied / "report.html").as_uri())
    rows = browser.find_elements(By.CSS_SELECTOR, "tr.step")
    assert [r.get_attribute("data-verdict") for r in rows] == [s["verdict"] for s in summary["steps"]]
    assert [r.find_element(By.CSS_SELECTOR, ".verdict").text for r in rows] == \
        [s["verdict"].upper() for s in summary["steps"]]
    assert rows[0].find_element(By.CSS_SELECTOR, "td.name").text == lure
    assert f"{COLUMN} max: 54 (limit 50)" in rows[0].find_element(By.CSS_SELECTOR, "ul.failed").text
    assert browser.find_elements(By.TAG_NAME, "img") == []
    assert len(browser.find_elements(By.CSS_SELECTOR, "svg.plot rect.band")) == 1
    assert len(browser.find_elements(By.CSS_SELECTOR, "svg.plot line.safety")) == 1
    shot = browser.get_screenshot_as_png()

    requests = [json.loads(e["message"])["message"] for e in browser.get_log("performance")]
    urls = [m["params"]["request"]["url"] for m in requests if m["method"] == "Network.requestWillBeSent"]
    assert urls and all(u.startswith(("file:", "data:")) for u in urls), urls
    assert _Trap.hits == []
    trap.shutdown()

    from PIL import Image
    image = Image.open(io.BytesIO(shot)).convert("RGB")
    small = image.resize((image.width // 4, image.height // 4))
    pixels = list(small.getdata())
    inked = sum(1 for p in pixels if sum(p) < 600) / len(pixels)
    assert len(set(pixels)) > 30 and inked > 0.03, (len(set(pixels)), inked)

    # `report --html` remakes the same page from the copy.
    again = tmp_path / "again.html"
    code, text = tool("report", copied, "--html", again)
    assert code == 0, text
    assert again.read_text() == (copied / "report.html").read_text().replace(str(out), str(copied))


def test_a_page_that_cannot_be_written_is_a_problem_not_a_lost_record(tmp_path):
    prof = tmp_path / "p.toml"
    prof.write_text('name = "p"\n[load]\ncpu = true\n[[steps]]\nseconds = 1\ncpu = "free"\n')
    out = tmp_path / "out"
    (out / "report.html").mkdir(parents=True)  # where the page would go, taken
    code, text = tool("run", prof, "--out", out)
    assert code == 0, text
    summary = json.loads((out / "summary.json").read_text())
    assert summary["outcome"] == "pass" and summary["exit_code"] == 0
    [problem] = summary["problems"]
    assert problem["kind"] == "record" and problem["message"].startswith("report.html could not be written: ")
    assert {p.name for p in out.iterdir()} == {"run.csv", "summary.json", "events.jsonl", "run.png", "report.html"}
    assert (out / "report.html").is_dir()
