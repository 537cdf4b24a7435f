"""report.html: a run's record as one self-contained page to open in a browser from a copied
folder, with no server and nothing fetched: the header, the steps with their verdicts and
failed criteria beside their limits, the problems with their times, the sensors per step
and the plot as inline SVG.

Every text from the record is escaped, and the page forbids itself any load from outside
(its content security policy): a step named like markup stays text."""

from __future__ import annotations

from html import escape
from pathlib import Path

from .decimate import read_series
from .record import write_atomic
from .recordio import Step, number, profile_name, steps_of
from .report import _domains, _sensor_cell, _sensors
from .svgplot import svg_plot

POLICY = "default-src 'none'; style-src 'unsafe-inline'; img-src data:"
STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; vertical-align: top; }
td.num { text-align: right; }
.verdict { font-weight: bold; padding: 0.1em 0.4em; border-radius: 3px; }
.verdict-pass { background: #cfeccf; color: #135c13; }
.verdict-fail, .verdict-stopped { background: #f7c9c9; color: #8a1010; }
.verdict-incomplete, .verdict-interrupted { background: #ddd; color: #333; }
.verdict-unjudged { background: #eee; color: #555; }
ul.failed { margin: 0; padding-left: 1.2em; color: #8a1010; }
"""


def _t(value) -> str:
    return escape(str(value), quote=True)


def _num(value, form: str, unit: str = "") -> str:
    x = number(value)
    return "-" if x is None else f"{x:{form}}{unit}"


def _value(value) -> str:
    x = number(value)
    return _t(value) if x is None else f"{x:g}"


def _verdict(word) -> str:
    w = str(word or "unjudged")
    css = w if w in ("pass", "fail", "incomplete", "interrupted", "stopped", "unjudged") else "unjudged"
    return f'<span class="verdict verdict-{css}">{_t(w.upper())}</span>'


def _header(summary: dict, folder: str) -> list[str]:
    host = summary.get("host") if isinstance(summary.get("host"), dict) else {}
    rows = [("record", folder), ("run id", summary.get("run_id")), ("started (UTC)", summary.get("started_utc")),
            ("host", ", ".join(str(host[k]) for k in ("hostname", "cpu_model") if host.get(k))),
            ("cores", host.get("cores")),
            *(("instrument", f"{x.get('idn')} at {x.get('resource')}") for x in host.get("instruments") or []
              if isinstance(x, dict)),
            *((f"{d} energy", f"{_num(x.get('wh'), '.3f', ' Wh')} over {_num(x.get('covered_s'), '.1f', ' s')}")
              for d, x in (summary.get("energy") if isinstance(summary.get("energy"), dict) else {}).items()
              if isinstance(x, dict)),
            ("target", summary.get("target")),
            ("exit code", summary.get("exit_code"))]
    out = [f"<h1>{_t(profile_name(summary))} {_verdict(summary.get('outcome'))}</h1>", '<table class="run">']
    out += [f"<tr><th>{_t(k)}</th><td>{_t(v)}</td></tr>" for k, v in rows if v not in (None, "")]
    out.append("</table>")
    return out


def _steps(steps: list[Step]) -> list[str]:
    domains = _domains(steps)
    head = ["#", "step", "verdict"]
    for d in domains:
        head += [f"{d} mode", "target", "mean", "error", "within"]
    head.append("failed criteria (measured, limit)")
    out = ['<h2>Steps</h2>', '<table class="steps">', "<tr>" + "".join(f"<th>{_t(h)}</th>" for h in head) + "</tr>"]
    for s in steps:
        cells = [f'<td class="num">{s.index}</td>', f'<td class="name">{_t(s.name)}</td>',
                 f"<td>{_verdict(s.verdict)}</td>"]
        for d in domains:
            x = s.domains.get(d, {})
            within = number(x.get("within_share"))
            cells += [f"<td>{_t(x.get('mode') or '-')}</td>", f'<td class="num">{_num(x.get("target_w"), ".1f", " W")}</td>',
                      f'<td class="num">{_num(x.get("mean_w"), ".1f", " W")}</td>',
                      f'<td class="num">{_num(x.get("error_pct"), "+.1f", " %")}</td>',
                      f'<td class="num">{"-" if within is None else f"{within * 100:.0f} %"}</td>']
        failed = "".join(f"<li>{_t(f.get('criterion'))}: {_value(f.get('measured'))} "
                         f"(limit {_value(f.get('limit'))})</li>" for f in s.failed)
        cells.append(f'<td><ul class="failed">{failed}</ul></td>' if failed else "<td></td>")
        out.append(f'<tr class="step" data-verdict="{_t(s.verdict)}">' + "".join(cells) + "</tr>")
    out.append("</table>")
    return out


def _problems(summary: dict) -> list[str]:
    handovers = [h for h in summary.get("handovers") or [] if isinstance(h, dict)]
    problems = [p for p in summary.get("problems") or [] if isinstance(p, dict)]
    out = []
    if handovers:
        out += ["<h2>Hand-overs</h2>", '<table class="handovers"><tr><th>at</th><th>without load</th></tr>']
        out += [f'<tr><td class="num">{_num(h.get("at_s"), ".1f", " s")}</td>'
                f'<td class="num">{_num(h.get("gap_s"), ".3f", " s")}</td></tr>' for h in handovers]
        out.append("</table>")
    out.append("<h2>Problems</h2>")
    if not problems:
        return out + ["<p>none</p>"]
    out.append('<table class="problems"><tr><th>at</th><th>kind</th><th>message</th></tr>')
    for p in problems:
        tail = f"<pre>{_t(p['stderr_tail'])}</pre>" if p.get("stderr_tail") else ""
        out.append(f'<tr><td class="num">{_num(p.get("at_s"), ".1f", " s")}</td><td>{_t(p.get("kind"))}</td>'
                   f"<td>{_t(p.get('message'))}{tail}</td></tr>")
    out.append("</table>")
    return out


def _sensor_table(steps: list[Step]) -> list[str]:
    sensors = _sensors(steps)
    if not sensors:
        return []
    out = ["<h2>Sensors per step</h2>", "<p>mean / max; temperatures: = steady, + rising, - falling; "
           "&gt;N s above its limit</p>", '<table class="sensors">',
           "<tr><th>#</th><th>step</th>" + "".join(f"<th>{_t(c)}</th>" for c in sensors) + "</tr>"]
    for s in steps:
        cells = "".join(f'<td class="num">{_t(_sensor_cell(s.sensors[c], c)) if c in s.sensors else "-"}</td>'
                        for c in sensors)
        out.append(f'<tr><td class="num">{s.index}</td><td>{_t(s.name)}</td>{cells}</tr>')
    out.append("</table>")
    return out


def html_report(columns: dict, summary: dict, folder: str = "") -> str:
    steps = steps_of(summary)
    body = (_header(summary, folder) + _steps(steps) + _problems(summary) + _sensor_table(steps)
            + ["<h2>Plot</h2>", svg_plot(columns, summary, steps)])
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
            f'<meta http-equiv="Content-Security-Policy" content="{POLICY}">\n'
            f"<title>kestrune: {_t(profile_name(summary))} ({_t(str(summary.get('outcome')).upper())})</title>\n"
            f"<style>{STYLE}</style></head>\n<body>\n" + "\n".join(body) + "\n</body></html>\n")


def write_html(path, csv_path_or_columns, summary: dict, folder: str = "") -> None:
    """The page from run.csv (a path, read in one pass and decimated, or its columns) and the
    summary, written through a temporary name beside `path`."""
    if isinstance(csv_path_or_columns, dict):
        columns = csv_path_or_columns
    else:
        ends = [s.end_s for s in steps_of(summary) if s.end_s is not None]
        columns = read_series(Path(csv_path_or_columns), span_s=max(ends, default=None))
    write_atomic(Path(path), html_report(columns, summary, folder))
