# Turns the benchmark samples into the results table (printed, results.md) and results.json.
import argparse
import json
import os
import re
import statistics
import sys

MIB = 1 << 20
PAGE = 4096
# What a launcher may add to the installer alone besides the extraction itself.
OVERHEAD_ALLOWANCE_MS = 50.0
# What the stripped launcher should come down to beyond its budget.
LAUNCHER_AIM = 192 * 1024
# Inputs of the launcher's link that the map names only by the linker's own labels.
LIBRARY_NAMES = {"objects.a": "launcher.rc (its code counts as project code)",
                 "dll stuff": "import stubs made by the linker"}
# The objects that link-time optimisation makes of the launcher's own code (main.cpp and kestrel_common_lean).
LTRANS_OBJECT = re.compile(r"\.ltrans\d*\.ltrans\.o$")
LTRANS_NAME = "project code after link-time optimisation"


def read_samples(path):
    samples, info = {}, {}
    with open(path) as lines:
        for line in lines:
            parts = line.split()
            if len(parts) == 3 and parts[0] == "sample":
                samples.setdefault(parts[1], []).append(float(parts[2]))
            elif len(parts) == 3 and parts[0] == "info":
                info[parts[1]] = int(parts[2])
    return samples, info


class Report:
    def __init__(self, samples, info):
        self.samples = samples
        self.info = info
        self.rows = []

    def series(self, key):
        if key not in self.samples:
            sys.exit(f"report: no samples for {key}")
        return self.samples[key]

    def paired(self, first, second, combine):
        a, b = self.series(first), self.series(second)
        if len(a) != len(b):
            sys.exit(f"report: {first} and {second} have different run counts")
        return [combine(x, y) for x, y in zip(a, b)]

    def row(self, item, measure, values, unit, goal=None, met=None):
        self.rows.append({
            "item": item, "measure": measure, "unit": unit,
            "median": statistics.median(values), "min": min(values), "max": max(values), "runs": len(values),
            "goal": goal, "met": met,
        })
        return statistics.median(values)

    def size_name(self, size):
        bytes_ = self.info[f"bytes.{size}"]
        return f"{bytes_ // MIB} MiB" if bytes_ >= MIB else f"{bytes_ // 1024} KiB"


def layout(report, key):
    """How the program's resource section lies in its file, which decides whether Wine maps or reads it."""
    offset = report.info[f"rsrc.{key}"]
    return f".rsrc at 0x{offset:x}, {'on a page' if offset % PAGE == 0 else 'off pages'}"


def extraction(report):
    times = {}
    for size in ("small", "large"):
        key = f"extract.{size}"
        item = f"1 extraction {report.size_name(size)} ({layout(report, 'extract')})"
        times[size] = report.row(item, "Resource::writeToFile", report.series(key + ".resource"), "ms")
        report.row(item, "CopyFileW", report.series(key + ".copy"), "ms")
        report.row(item, "deleting the written file", report.series(key + ".delete"), "ms")
        ratios = report.paired(key + ".resource", key + ".copy", lambda r, c: r / c)
        goal = size == "large"
        report.row(item, "ratio writeToFile / CopyFileW", ratios, "",
                   "<= 1.10" if goal else None, statistics.median(ratios) <= 1.10 if goal else None)
        report.row(item, "Resource::writeToFile with the CRC-32C check", report.series(key + ".checked"), "ms")
        ratios = report.paired(key + ".checked", key + ".resource", lambda c, r: c / r)
        report.row(item, "ratio checked / plain writeToFile", ratios, "",
                   "<= 1.10" if goal else None, statistics.median(ratios) <= 1.10 if goal else None)
    return times


def overhead(report, extract_ms):
    for size in ("small", "large"):
        key = f"install.{size}"
        setup = key + ".setup"
        allowed = extract_ms[size] + OVERHEAD_ALLOWANCE_MS
        item = f"2 install {report.size_name(size)}"
        report.row(item, "msiexec /i /qn", report.series(key + ".msiexec"), "ms")
        item += f", launcher ({layout(report, f'setup.{size}')})"
        report.row(item, "setup.exe /qn", report.series(setup), "ms")
        report.row(item, "setup.exe start and exit alone (uninstall, nothing installed)",
                   report.series(setup + ".start"), "ms")
        differences = report.paired(setup, key + ".msiexec", lambda s, m: s - m)
        report.row(item, "difference setup - msiexec", differences, "ms",
                   f"<= {allowed:.0f} (extraction + {OVERHEAD_ALLOWANCE_MS:.0f})",
                   statistics.median(differences) <= allowed)
        report.row(item, "ratio setup / msiexec", report.paired(setup, key + ".msiexec", lambda s, m: s / m), "")


def memory(report):
    peaks = {}
    for size in ("medium", "large"):
        item = f"3 memory {report.size_name(size)}, launcher ({layout(report, f'setup.{size}')})"
        values = [v / MIB for v in report.series(f"memory.{size}.setup.peak")]
        peaks[size] = report.row(item, "peak private bytes", values, "MiB", "<= 8", max(values) <= 8)
    # The control: the same launcher with its resources off a page, which Wine reads into private memory.
    report.row(f"3 memory {report.size_name('large')}, launcher copy with the resources moved "
               f"({layout(report, 'setup.offpage')})", "peak private bytes",
               [v / MIB for v in report.series("memory.large.offpage.peak")], "MiB")
    spread = [abs(peaks["large"] - peaks["medium"])]
    report.row(f"3 memory {report.size_name('large')} against {report.size_name('medium')}, launcher",
               "difference of the median peaks", spread, "MiB", "<= 1", spread[0] <= 1)


def map_contributors(path):
    """Bytes of loaded sections per input library and per object, from a GNU ld map."""
    by_library, by_object = {}, {}
    in_map = False
    output = None
    pending = False
    with open(path, errors="replace") as lines:
        for line in lines:
            if line.startswith("Linker script and memory map"):
                in_map = True
                continue
            if not in_map:
                continue
            head = re.match(r"^(\.\S+)", line)
            if head:
                output = head.group(1)
                continue
            # An input section: " .name 0xaddress 0xsize file", or the name alone with the rest on the next line.
            entry = re.match(r"^ (\.\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
            if entry and (entry.group(1) or pending):
                pending = False
                address, size, source = int(entry.group(2), 16), int(entry.group(3), 16), entry.group(4).strip()
                if address == 0 or size == 0 or output is None or output.startswith(".debug") or output == ".bss":
                    continue
                member = re.match(r"^(.*)\((.*)\)$", source)
                library = os.path.basename(member.group(1) if member else source)
                obj = f"{library}({member.group(2)})" if member else library
                if LTRANS_OBJECT.search(library):
                    library = obj = LTRANS_NAME
                by_library[library] = by_library.get(library, 0) + size
                by_object[obj] = by_object.get(obj, 0) + size
                continue
            pending = re.match(r"^ \.\S+\s*$", line) is not None
    return by_library, by_object


def top_symbols(path, count):
    symbols = []
    with open(path, errors="replace") as lines:
        for line in lines:
            parts = line.split(None, 3)
            # Section symbols (".text") span whole sections; only functions and objects count.
            if len(parts) == 4 and parts[2] in "TtDdRr" and not parts[3].startswith("."):
                symbols.append((int(parts[1], 16), parts[2], parts[3].strip()))
    symbols.sort(reverse=True)
    return symbols[:count]


def size(report, map_path, symbols_path):
    launcher = report.info["size.launcher"]
    budget = report.info["size.budget"]
    report.row("4 size", "kestrel-launcher.exe, stripped", [launcher / 1024], "KiB", f"<= {budget // 1024}",
               launcher <= budget)
    report.row("4 size", "kestrel-launcher.exe, stripped, against the aim", [launcher / 1024], "KiB",
               f"<= {LAUNCHER_AIM // 1024} (aim)", launcher <= LAUNCHER_AIM)
    report.row("4 size", "same sources relinked with a map, stripped", [report.info["size.rebuilt-stripped"] / 1024],
               "KiB")
    by_library, by_object = map_contributors(map_path)
    by_library = {LIBRARY_NAMES.get(name, name): bytes_ for name, bytes_ in by_library.items() if bytes_ >= 1024}
    return {
        "libraries": sorted(by_library.items(), key=lambda kv: -kv[1]),
        "objects": sorted(by_object.items(), key=lambda kv: -kv[1])[:12],
        "symbols": top_symbols(symbols_path, 12),
    }


def packing(report):
    item = f"5 packing {report.size_name('large')}"
    report.row(item, "kestrel-pack", report.series("pack.large.pack"), "ms")
    report.row(item, "copy (CopyFileW)", report.series("pack.large.copy"), "ms")
    ratios = report.paired("pack.large.pack", "pack.large.copy", lambda p, c: p / c)
    report.row(item, "ratio kestrel-pack / copy", ratios, "", "<= 1.5", statistics.median(ratios) <= 1.5)
    item = f"5 packing {report.size_name('large')}, native on Linux"
    report.row(item, "kestrel-pack (flushed to disk)", report.series("pack.native.pack"), "ms")
    report.row(item, "copy (cp)", report.series("pack.native.copy"), "ms")
    report.row(item, "copy flushed to disk (cp, then sync of the copy and its directory)",
               report.series("pack.native.flushed"), "ms")
    report.row(item, "ratio kestrel-pack / cp", report.paired("pack.native.pack", "pack.native.copy", lambda p, c: p / c),
               "")
    ratios = report.paired("pack.native.pack", "pack.native.flushed", lambda p, c: p / c)
    report.row(item, "ratio kestrel-pack / flushed cp", ratios, "", "<= 1.2", statistics.median(ratios) <= 1.2)
    isolation(report)


def isolation(report):
    """What reading the package in a child process costs: a process start per child, beside the pack itself."""
    item = f"5 packing {report.size_name('small')}, native on Linux, the package read in a child"
    report.row(item, "kestrel-pack", report.series("pack.native.small.pack"), "ms")
    start = report.row(item, "one start of kestrel-pack alone (--version)", report.series("pack.native.start"), "ms")
    reader = report.row(item, "the reading child alone (the package's properties)", report.series("pack.native.reader"),
                        "ms")
    if "pack.native.small.baseline" in report.samples:
        report.row(item, "kestrel-pack reading in its own process (KR_BENCH_BASELINE_PACKER)",
                   report.series("pack.native.small.baseline"), "ms")
        report.row(item, "difference in a child - in its own process",
                   report.paired("pack.native.small.pack", "pack.native.small.baseline", lambda i, b: i - b), "ms")
    large = statistics.median(report.series("pack.native.pack"))
    item = f"5 packing {report.size_name('large')}, native on Linux, the package read in a child"
    report.row(item, "share of one start in the pack", [start / large], "")
    report.row(item, "share of the whole reading child in the pack", [reader / large], "", "<= 0.05",
               reader / large <= 0.05)
    if "pack.native.large.baseline" in report.samples:
        report.row(item, "kestrel-pack", report.series("pack.native.large.isolated"), "ms")
        report.row(item, "kestrel-pack reading in its own process (KR_BENCH_BASELINE_PACKER)",
                   report.series("pack.native.large.baseline"), "ms")
        report.row(item, "ratio in a child / in its own process",
                   report.paired("pack.native.large.isolated", "pack.native.large.baseline", lambda i, b: i / b), "")


def worst_info(report):
    item = f"6 kestrel-pack --info, worst crafted setup ({report.info['bytes.worst-info'] // 1024} KiB)"
    times = report.series("info.worst.ms")
    report.row(item, "time", times, "ms", "< 1000", max(times) < 1000)
    peaks = [kib / 1024 for kib in report.series("info.worst.peak")]
    report.row(item, "peak resident memory", peaks, "MiB", "< 64", max(peaks) < 64)


def number(value, unit):
    if unit == "ms":
        return f"{value:.1f}"
    if unit == "" and value >= 100:
        return f"{value:.0f}"
    return f"{value:.2f}" if unit in ("", "MiB") else f"{value:.0f}"


def markdown(report, contributors):
    runs = report.info["runs"]
    out = [f"Medians of {runs} runs ({3 * runs} for extractions), with min and max; ratios and differences are "
           "paired within each run.",
           "", "| Benchmark | Measure | Median | Min | Max | Unit | Runs | Goal | Met |",
           "|---|---|---:|---:|---:|---|---:|---|---|"]
    for row in report.rows:
        met = "" if row["met"] is None else ("yes" if row["met"] else "**no**")
        unit = row["unit"]
        out.append(f"| {row['item']} | {row['measure']} | {number(row['median'], unit)} | {number(row['min'], unit)} "
                   f"| {number(row['max'], unit)} | {unit} | {row['runs']} | {row['goal'] or ''} | {met} |")
    out += ["", "Largest contributors to kestrel-launcher.exe (loaded sections, from the linker map):", "",
            "| Library | KiB |", "|---|---:|"]
    for name, bytes_ in contributors["libraries"]:
        out.append(f"| {name} | {bytes_ / 1024:.1f} |")
    out += ["", "| Largest objects | KiB |", "|---|---:|"]
    for name, bytes_ in contributors["objects"]:
        out.append(f"| {name} | {bytes_ / 1024:.1f} |")
    out += ["", "| Largest symbols | KiB |", "|---|---:|"]
    for bytes_, _, name in contributors["symbols"]:
        out.append(f"| `{name[:90]}` | {bytes_ / 1024:.1f} |")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--samples", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--symbols", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    samples, info = read_samples(args.samples)
    report = Report(samples, info)
    extract_ms = extraction(report)
    overhead(report, extract_ms)
    memory(report)
    contributors = size(report, args.map, args.symbols)
    packing(report)
    worst_info(report)

    text = markdown(report, contributors)
    with open(os.path.join(args.out, "results.md"), "w") as md:
        md.write(text)
    with open(os.path.join(args.out, "results.json"), "w") as js:
        json.dump({"runs": info["runs"], "sizes": {k[6:]: v for k, v in info.items() if k.startswith("bytes.")},
                   "info": info, "rows": report.rows, "samples": samples,
                   "launcher_contributors": {
                       "libraries": dict(contributors["libraries"]), "objects": dict(contributors["objects"]),
                       "symbols": {name: bytes_ for bytes_, _, name in contributors["symbols"]}}},
                  js, indent=2)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
