#!/usr/bin/env python3
"""How fast the service stops: the real executable on a copy of examples/hyperv-v2 with the
machine's clock at real speed, started and stopped N times (50 by default), each stop at a random
moment of the Hyper-V worker's 5-second wait. For each stop, from its trace and scm.jsonl:
  end -> stopped   the last worker's end ("Exiting ...::DoMonitor()") to the stopped report
  control -> stopped  the stop control ("Entering ServiceCtrlHandler - dwCode=1") to it
Prints the median and the maximum of each beside the goals (median at most 100 ms, maximum at
most 110 ms for the first).
  Tools/stop-bench.py [--stops N] [--build DIR]   (DIR default build/default, built if needed)"""
import argparse
import json
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
SERVICE = "Orvex(R) Tarvik Monitoring Service"
TRACE = "drive_c/Program Files/Orvex/ZEL2/TARVIKMonitor.txt"


def day_ms(clock):
    """Milliseconds since midnight of "hh:mm:ss.mmm" (a trace line's) or an ISO time."""
    hours, minutes, seconds = clock.split("T")[-1].split(":")
    return (int(hours) * 3600 + int(minutes) * 60) * 1000 + round(float(seconds) * 1000)


def one_stop(sim, machine):
    # The last process may still be ending after its stopped report (1056 until it has).
    for _ in range(100):
        if subprocess.run(sim + ["start"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            break
        time.sleep(0.1)
    else:
        raise RuntimeError("the service does not start again")
    time.sleep(random.uniform(1.0, 6.0))
    subprocess.run(sim + ["stop"], check=True, stdout=subprocess.DEVNULL)
    stopped = [json.loads(line) for line in (machine / "scm.jsonl").read_text().splitlines()]
    stopped = day_ms(stopped[-1]["time"]) if stopped[-1]["state"] == 1 else None
    ends, control = [], None
    for line in (machine / TRACE).read_text(errors="replace").splitlines():
        fields = line.split("\t")
        if len(fields) < 8:
            continue
        if fields[7].startswith("Exiting") and fields[7].endswith("::DoMonitor()"):
            ends.append(day_ms(fields[3]))
        elif fields[7] == "Entering ServiceCtrlHandler - dwCode=1":
            control = day_ms(fields[3])
    if stopped is None or not ends or control is None:
        raise RuntimeError("a stop without its trace lines or its stopped report")
    return stopped - max(ends), stopped - control


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--stops", type=int, default=50)
    parser.add_argument("--build", default=str(ROOT / "build/default"))
    args = parser.parse_args()
    build = (ROOT / args.build).resolve()
    subprocess.run(["cmake", "--preset", "default", "-B", str(build)], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "OTarvikMonitor", "tarvik-sim"],
                   check=True, stdout=subprocess.DEVNULL)
    work = pathlib.Path(tempfile.mkdtemp(prefix="tarvik-stop-"))
    try:
        machine = work / "machine"
        tool = str(build / "Tools/tarvik-sim")
        subprocess.run([tool, "new", str(machine), "--template", "hyperv-v2"], check=True,
                       stdout=subprocess.DEVNULL)
        settings = json.loads((machine / "machine.json").read_text())
        settings["clock"]["scale"] = 1
        (machine / "machine.json").write_text(json.dumps(settings, indent=2))
        install = machine / "drive_c/Program Files/Orvex/TALM"
        (install / "OTarvikMonitor.exe").symlink_to(build / "Src/OTarvikMonitor")
        subprocess.run([str(install / "OTarvikMonitor.exe"), "-i"], cwd=install, check=True,
                       env={"TARVIK_MACHINE": str(machine)}, stdout=subprocess.DEVNULL)
        sim = [tool, "-m", str(machine), "-s", SERVICE]
        samples = [one_stop(sim, machine) for _ in range(args.stops)]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for index, name, goal in ((0, "end -> stopped", "median <= 100 ms, max <= 110 ms"),
                              (1, "control -> stopped", "(worst case reported)")):
        values = [s[index] for s in samples]
        print(f"{name:20} median {statistics.median(values):6.0f} ms  max {max(values):6.0f} ms"
              f"  over {len(values)} stops   goal: {goal}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
