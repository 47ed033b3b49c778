"""Another checkout's benchmarks and this one's, run back to back on this machine.

Runs benchmarks/bench_error_checks.py of a baseline checkout (with its own
virtual environment) and of this checkout alternately, `rounds` times each, and
prints the best figure of each line across the rounds next to each other: the
disk runs against their native floor (a), the two-thread throughput (c) and
the OPAL table lookups against SciPy's RegularGridInterpolator (d).  Each
script already compares with its own baseline in the same run; alternating the
two checkouts spreads the load of a shared machine over both.

    python benchmarks/before_after.py BASELINE_CHECKOUT [rounds]

e.g. a checkout of the commit before a change, built with
`VENV=.venv bash scripts/setup-venv.sh pytest scipy` inside it.
"""

import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SCRIPT = Path("benchmarks") / "bench_error_checks.py"


def run(checkout):
    python = checkout / ".venv" / "bin" / "python"
    out = subprocess.run([str(python), str(SCRIPT), "--quick"], cwd=checkout, capture_output=True, text=True,
                         check=True).stdout
    figures = {}
    for line in out.splitlines():
        m = re.match(r"(gas\+rad|gas)\s+(Kramers|OPAL)\s+\d+\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)", line)
        if m:
            figures[f"(a) {m[1]} / {m[2]}: run / floor"] = float(m[5])
        m = re.search(r"throughput ([\d.]+)x", line)
        if m:
            figures["(c) two threads / one thread"] = float(m[1])
        m = re.search(r"\(d\).*?([\d.]+) ns/point; RegularGridInterpolator ([\d.]+) ns/point; ([\d.]+)x faster", line)
        if m:
            figures["(d) OPAL lookup ns/point"] = float(m[1])
            figures["(d) RegularGridInterpolator ns/point"] = float(m[2])
            figures["(d) speed-up over RegularGridInterpolator"] = float(m[3])
            figures["(d) values identical (1 = yes)"] = float(line.rstrip().endswith("True"))
    return figures


def best(name, values):
    # lower is better for times and ratios to a floor; higher for speed-ups
    return max(values) if ("speed-up" in name or "threads" in name) else min(values)


def main(baseline, rounds=3):
    checkouts = {"before": Path(baseline).resolve(), "after": HERE.parent}
    seen = {label: {} for label in checkouts}
    for _ in range(rounds):
        for label, checkout in checkouts.items():
            for name, value in run(checkout).items():
                seen[label].setdefault(name, []).append(value)
    print(f"best of {rounds} alternating rounds (bench_error_checks.py --quick)")
    print(f"{'':<46}{'before':>10}{'after':>10}")
    for name in seen["after"]:
        before = seen["before"].get(name)
        b = f"{best(name, before):10.3f}" if before else f"{'-':>10}"
        print(f"{name:<46}{b}{best(name, seen['after'][name]):10.3f}")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 3)
