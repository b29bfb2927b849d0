#!/usr/bin/env python3
"""Writes docs/figures.md and the README's figures table from the benchmarks' JSON output.

    scripts/figures.py JSON_DIR [REPO_DIR]

JSON_DIR holds bench_<name>.json as `scripts/bench.sh` writes them with OSLNK_BENCH_OUT (Google Benchmark's
JSON format; with repetitions, the medians are used). The README's table is the text between the markers
<!-- figures:begin --> and <!-- figures:end -->; everything else of the README stays as it is.
"""
import datetime
import json
import math
import os
import platform
import re
import subprocess
import sys
from pathlib import Path

BEGIN, END = "<!-- figures:begin -->", "<!-- figures:end -->"


class Bench:
    """One benchmark program's results: its context (machine, date) and its runs by name."""

    def __init__(self, path):
        data = json.loads(path.read_text())
        self.context = data["context"]
        self.runs = {}
        self.repetitions = 1
        for b in data["benchmarks"]:
            if b.get("error_occurred"):
                raise SystemExit(f"figures: {path.name}: {b['name']} failed: {b.get('error_message')}")
            if b.get("run_type") == "aggregate":
                self.repetitions = max(self.repetitions, int(b.get("repetitions", 1)))
                if b.get("aggregate_name") == "median":
                    self.runs[b["run_name"]] = b
            else:
                self.runs.setdefault(b["run_name"], b)

    def run(self, prefix):
        """The run whose name starts with `prefix` (its arguments, without the timing suffixes)."""
        for name, b in self.runs.items():
            if name == prefix or name.startswith(prefix + "/"):
                return b
        raise SystemExit(f"figures: no benchmark run {prefix} (was the benchmark filtered?)")

    def when(self):
        return self.context["date"][:16].replace("T", " ")


def seconds(b, key):
    """A run's time `key` (real_time, cpu_time) in seconds."""
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b[key] * scale


def fmt(value, digits=3):
    """A figure with `digits` significant digits, without a trailing exponent."""
    if value == 0:
        return "0"
    decimals = max(0, digits - 1 - int(math.floor(math.log10(abs(value)))))
    return f"{value:,.{decimals}f}"


def ms(s):
    return fmt(s * 1e3) + " ms"


def us(s):
    return fmt(s * 1e6) + " µs"


def growth(counts, costs):
    """Least-squares exponent k of cost ~ count^k."""
    xs, ys = [math.log(c) for c in counts], [math.log(c) for c in costs]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def machine(build_dir):
    """What the figures were measured on: CPU, cores, memory, OS, compiler and build flags."""
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = re.sub(r"\s+", " ", line.split(":", 1)[1]).strip()
                break
    except OSError:
        pass
    mem = ""
    try:
        kb = int(re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text()).group(1))
        mem = f", {kb / 1048576:.0f} GiB RAM"
    except (OSError, AttributeError):
        pass
    os_name = platform.system()
    try:
        os_name = re.search(r'PRETTY_NAME="([^"]*)"', Path("/etc/os-release").read_text()).group(1)
    except (OSError, AttributeError):
        pass
    compiler, flags = "", ""
    cache = Path(build_dir) / "CMakeCache.txt"
    if cache.exists():
        text = cache.read_text()
        cxx = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", text, re.M)
        if cxx:
            try:
                compiler = subprocess.run([cxx.group(1), "--version"], capture_output=True, text=True,
                                          check=False).stdout.splitlines()[0]
            except (OSError, IndexError):
                compiler = cxx.group(1)
        build_type = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", text, re.M)
        build_type = build_type.group(1) if build_type and build_type.group(1) else "RelWithDebInfo"
        f = re.search(rf"^CMAKE_CXX_FLAGS_{build_type.upper()}:\w+=(.*)$", text, re.M)
        flags = f"{build_type} (`{f.group(1).strip()}`)" if f else build_type
    return {"cpu": cpu, "cores": os.cpu_count(), "mem": mem, "os": os_name, "compiler": compiler, "flags": flags}


def write(json_dir, repo, build_dir):
    benches = {}
    for name in ("device_id", "print", "plug", "scale"):
        path = Path(json_dir) / f"bench_{name}.json"
        if not path.exists():
            raise SystemExit(f"figures: {path} is missing (scripts/bench.sh with OSLNK_BENCH_OUT writes it)")
        benches[name] = Bench(path)
    # The libusb and CUPS benchmarks exist only where libusb, umockdev and libcups were found.
    for name in ("userspace", "cups_backend"):
        path = Path(json_dir) / f"bench_{name}.json"
        benches[name] = Bench(path) if path.exists() else None
    m = machine(build_dir)
    dev, prn, plug, scale = benches["device_id"], benches["print"], benches["plug"], benches["scale"]
    mhz = dev.context.get("mhz_per_cpu")
    clock = f" {mhz / 1000:.1f} GHz" if mhz else ""
    short_machine = f"{m['cores']}-core {re.sub(r' CPU.*| @.*', '', m['cpu'])}{clock}"

    # Device-ID exchange.
    id200 = dev.run("BM_DeviceIdExchange/id_bytes:200/timing_model:1")
    id100 = dev.run("BM_DeviceIdExchange/id_bytes:100/timing_model:1")
    id200off = dev.run("BM_DeviceIdExchange/id_bytes:200/timing_model:0")
    # One write request and a 1 MiB job.
    req = {n: prn.run(f"BM_PrintRequest/bytes:{n}") for n in (1024, 4096)}
    cpy = {n: prn.run(f"BM_Memcpy/bytes:{n}") for n in (1024, 4096)}
    job = {n: prn.run(f"BM_PrintJob/max_transfer:{n}") for n in (1024, 4096)}
    # Plug to printer enumerated.
    plug_on = plug.run("BM_PlugToPrinter/id_bytes:200/timing_model:1")
    plug_off = plug.run("BM_PlugToPrinter/id_bytes:200/timing_model:0")
    # Scale.
    plug_counts = (1, 16, 128)
    plugs = {(n, k): scale.run(f"BM_PlugCables/cables:{n}/keep_log:{k}") for n in plug_counts for k in (1, 0)}
    print_counts = (1, 4, 16)
    conc = {n: scale.run(f"BM_ConcurrentPrint/cables:{n}") for n in print_counts}
    kib = {n: 64 * n for n in print_counts}  # each cable prints 64 KiB per iteration
    cpu_per_kib = {n: seconds(conc[n], "cpu_time") / kib[n] for n in print_counts}
    k_print_cpu = growth(print_counts, [seconds(conc[n], "cpu_time") for n in print_counts])
    k_plug_cpu = growth(plug_counts, [seconds(plugs[(n, 1)], "cpu_time") for n in plug_counts])
    k_plug_cpu_cleared = growth(plug_counts, [seconds(plugs[(n, 0)], "cpu_time") for n in plug_counts])
    pools = sorted({round(plugs[(n, k)]["pool_bytes_per_cable"]) for n in plug_counts for k in (1, 0)})
    pool_text = f"{pools[0]} bytes of driver pool per cable at every count" if len(pools) == 1 else \
        "driver pool per cable " + ", ".join(f"{p} B" for p in pools)
    # Heap a further cable adds, from the two largest counts with the traffic log cleared.
    heap_added = (128 * plugs[(128, 0)]["heap_per_cable"] - 16 * plugs[(16, 0)]["heap_per_cable"]) / 112
    if abs(k_print_cpu - 1) < 0.05:
        per_byte = "host CPU per byte about flat in this run"
    else:
        per_byte = ("host CPU per byte grows with the cables printing at once" if k_print_cpu > 1 else
                    "host CPU per byte falls with the cables printing at once")
    per_byte_detail = (f"{per_byte} ({', '.join(fmt(cpu_per_kib[n] * 1e6) for n in print_counts)} µs per KiB; "
                       f"CPU ~ cables^{k_print_cpu:.2f})")

    def both(runs, text):
        """The text of the 1024- and 4096-byte runs: once for both when it reads the same."""
        a, b = text(runs[1024]), text(runs[4096])
        return f"{a} for both sizes" if a == b else f"1024: {a}; 4096: {b}"

    rows = [
        ("Device-ID exchange, 200-byte ID (`bench_device_id`)",
         f"{round(id200['control_transfers'])} control transfers ({id200['transfers_per_id_byte']:.1f} per ID byte), "
         f"{id200['virtual_ms'] / 1e3:.3f} s on the full-speed timing model; {ms(seconds(id200, 'cpu_time'))} host CPU",
         dev),
        ("One write request through the whole path (`bench_print`)",
         f"{us(seconds(req[1024], 'cpu_time'))} host CPU for 1024 bytes, {us(seconds(req[4096], 'cpu_time'))} for "
         f"4096 bytes; a memcpy of the same bytes in the same run: {fmt(seconds(cpy[1024], 'cpu_time') * 1e9)} ns and "
         f"{fmt(seconds(cpy[4096], 'cpu_time') * 1e9)} ns", prn),
        ("A 1 MiB job on the timing model, MaxTransferSize 1024 and 4096",
         both(job, lambda j: f"{j['virtual_ms'] / 1e3:.3f} s, {j['virtual_MBps']:.3f} MB/s: {j['bus_fraction']:.3f} "
                             "of the bus's bulk limit"), prn),
        ("Plug to printer enumerated, 200-byte ID (`bench_plug`)",
         f"{plug_on['virtual_ms'] / 1e3:.3f} s virtual, of which the device-ID exchange is "
         f"{id200['virtual_ms'] / 1e3:.3f} s; {ms(seconds(plug_on, 'cpu_time'))} host CPU", plug),
        ("Plugging 1, 16, 128 cables (`bench_scale`)",
         f"{pool_text}; host CPU ~ cables^{k_plug_cpu:.2f} (^{k_plug_cpu_cleared:.2f} with the traffic log "
         f"cleared); about {fmt(heap_added / 1e3, 2)} kB of host heap per further cable besides the bus's traffic log",
         scale),
        ("1, 4, 16 cables printing at once (`bench_scale`)",
         f"aggregate {', '.join(fmt(conc[n]['virtual_MBps'], 4) for n in print_counts)} MB/s virtual (the cables "
         f"share one bus); {per_byte_detail}", scale),
    ]

    usp, cbe = benches["userspace"], benches["cups_backend"]
    if usp:
        usp_runs = {n: usp.run(f"BM_UserspacePrint/transfer:{n}") for n in (4096, 16384, 65536)}
        rows.append(("A 1 MiB job through libusb, 4 transfers queued (`bench_userspace`)",
                     "; ".join(f"{n // 1024} KiB transfers: {fmt(r['writer_cpu_ms_per_MiB'])} ms CPU per MiB in the "
                               f"writing thread, {round(r['queued_max'])} queued"
                               for n, r in usp_runs.items()), usp))
    if cbe:
        cbe_runs = {n: cbe.run(f"BM_CupsBackendPrint/{n}") for n in (1, 8)}
        rows.append(("The CUPS backend printing 1 and 8 MiB from standard input (`bench_cups_backend`)",
                     f"{fmt(cbe_runs[1]['backend_cpu_ms_per_MiB'])} and {fmt(cbe_runs[8]['backend_cpu_ms_per_MiB'])} "
                     f"ms of backend CPU per MiB; at most {round(cbe_runs[8]['queued_max'])} bulk transfers in flight",
                     cbe))

    def measured(b):
        return f"{b.when()}, {short_machine}"

    table = ["| Figure | Measured | When, where |", "|---|---|---|"]
    table += [f"| {what} | {value} | {measured(b)} |" for what, value, b in rows]
    readme_block = "\n".join(table)

    # The README: only the text between the markers changes.
    readme_path = Path(repo) / "README.md"
    readme = readme_path.read_text()
    if BEGIN not in readme or END not in readme:
        raise SystemExit(f"figures: README.md lacks the markers {BEGIN} and {END}")
    head, rest = readme.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    readme_path.write_text(f"{head}{BEGIN}\n{readme_block}\n{END}{tail}")

    def context_line(b):
        load = ", ".join(f"{x:.1f}" for x in b.context.get("load_avg", []))
        reps = f"median of {b.repetitions} repetitions" if b.repetitions > 1 else "one run"
        return f"Measured {b.when()} ({reps}; load average {load or 'unknown'})."

    out = []
    w = out.append
    w("# Figures")
    w("")
    w("<!-- Written by `make figures` (scripts/figures.py); edit the script, not this page. -->")
    w("")
    w("What the benchmarks in `bench/` measured on the host target: the real driver over the emulated Windows 98")
    w("machine, the simulated cable and printer, and the USB bus's full-speed timing model. `make figures` runs")
    w("them again and rewrites this page and the README's table; how the figures changed over time is in git")
    w("(`git log -p docs/figures.md`).")
    w("")
    version = dev.context.get("library_version", "")
    w(f"Machine: {m['cores']} cores ({m['cpu']}{',' + clock if clock else ''}){m['mem']}, {m['os']}.")
    w(f"Compiler {m['compiler']}, build type {m['flags']}; Google Benchmark {version + ' ' if version else ''}"
      f"(its own build type: {dev.context.get('library_build_type', 'unknown')}).")
    w("")
    w("- **Virtual** times are on the machine's virtual clock: they do not depend on the host and come out the")
    w("  same in every run. Transfer counts and pool bytes do not either.")
    w("- **Host CPU** is the CPU time of the whole process, every thread included (the machine's completion and")
    w("  Plug and Play threads do part of the work); **host real** is wall-clock time. Both depend on the host and")
    w("  on what else it runs: measure on an idle machine (`uptime`), and for steadier figures pin the process to")
    w("  one core (`taskset -c 0 make figures`), which takes the thread hand-offs between cores out.")
    w("- kB and MB are 1000 and 1,000,000 bytes; KiB and MiB 1024 and 1,048,576.")
    w("")
    w("Each benchmark can be run alone, e.g. `build/host/bench/bench_print --benchmark_filter=PrintJob`; `make bench`")
    w("runs each once without writing anything.")
    w("")

    w("## 1. Device-ID exchange")
    w("")
    w("`bench_device_id`: one `IOCTL_KVUSB_GET_DEVICE_ID` on an open cable whose printer has an ID of the given")
    w("length (the text after its 2-byte length field): the IEEE 1284 nibble-mode exchange, then the controller")
    w("set-up the driver always does after it. With the timing model on, each control transfer costs its 1 ms")
    w("frame; off, control transfers complete at once and only the driver's own sleeps move virtual time.")
    w(context_line(dev))
    w("")
    w("| ID bytes | Timing model | Control transfers | Per ID byte | Virtual time | Host CPU | Host real |")
    w("|---:|:---:|---:|---:|---:|---:|---:|")
    for b, n, on in ((id200, 200, "on"), (id100, 100, "on"), (id200off, 200, "off")):
        w(f"| {n} | {on} | {round(b['control_transfers'])} | {b['transfers_per_id_byte']:.2f} | "
          f"{b['virtual_ms'] / 1e3:.3f} s | {ms(seconds(b, 'cpu_time'))} | {ms(seconds(b, 'real_time'))} |")
    w("")
    per_byte_transfers = (id200["control_transfers"] - id100["control_transfers"]) / 100
    per_byte_ms = (id200["virtual_ms"] - id100["virtual_ms"]) / 100
    w(f"Each ID byte from 100 to 200 costs {per_byte_transfers:.1f} control transfers and {per_byte_ms:.1f} ms of")
    w(f"virtual time. With the timing model on the exchange takes one frame per control transfer more than with it")
    w(f"off ({id200['virtual_ms'] / 1e3:.3f} s − {id200off['virtual_ms'] / 1e3:.3f} s = "
      f"{id200['virtual_ms'] - id200off['virtual_ms']:.0f} ms for {round(id200['control_transfers'])} transfers;"
      " `test_bench` checks this equality).")
    w("")

    w("## 2. Print throughput")
    w("")
    w("`bench_print`: a cable whose MaxTransferSize equals the request size, an open handle, and write requests")
    w("through the whole path (client write, IRP, the driver's bulk URB, the simulated bus and cable, completion")
    w("back to the client). `BM_Memcpy` copies the same number of bytes in the same run.")
    w(context_line(prn))
    w("")
    w("| Request | memcpy CPU | Print request CPU | Print request real | Print path / memcpy (CPU) | Virtual per request | Bus fraction |")
    w("|---:|---:|---:|---:|---:|---:|---:|")
    for n in (1024, 4096):
        r, c = req[n], cpy[n]
        w(f"| {n} bytes | {fmt(seconds(c, 'cpu_time') * 1e9)} ns | {us(seconds(r, 'cpu_time'))} | "
          f"{us(seconds(r, 'real_time'))} | {seconds(r, 'cpu_time') / seconds(c, 'cpu_time'):,.0f}× | "
          f"{r['virtual_us'] / 1e3:.3f} ms | {r['bus_fraction']:.3f} |")
    w("")
    w("A 1 MiB job (1,048,576 bytes) in requests of MaxTransferSize bytes, on the timing model:")
    w("")
    w("| MaxTransferSize | Requests | Virtual time | Virtual throughput | Fraction of the bulk limit | Host CPU per job | Host real per job |")
    w("|---:|---:|---:|---:|---:|---:|---:|")
    for n in (1024, 4096):
        j = job[n]
        w(f"| {n} | {1048576 // n} | {j['virtual_ms'] / 1e3:.3f} s | {j['virtual_MBps']:.3f} MB/s | "
          f"{j['bus_fraction']:.3f} | {ms(seconds(j, 'cpu_time'))} | {ms(seconds(j, 'real_time'))} |")
    w("")
    w("The bulk limit of a full-speed bus is 19 packets of 64 bytes per 1 ms frame (1,216,000 bytes/s). A")
    w("1024-byte request is 16 packets in one frame, a 4096-byte request 64 packets in 4 frames, so both sizes")
    w("fill 16/19 = 0.842 of it, and requests follow one another with no idle frame (`test_bench` checks the job's")
    w("virtual time is the sum of its requests' frames).")
    w("")

    w("## 3. Plug to printer enumerated")
    w("")
    w("`bench_plug`: from plugging a cable whose printer has a 200-byte ID until its arrival has been processed:")
    w("the bus enumerates it, Plug and Play loads and starts the driver (soft reset, descriptors, configuration,")
    w("device-ID exchange, controller set-up) and the driver's child printer device is started. The cable is taken")
    w("out again between iterations, outside the measured time.")
    w(context_line(plug))
    w("")
    w("| Timing model | Virtual time | Host CPU | Host real |")
    w("|:---:|---:|---:|---:|")
    for b, on in ((plug_on, "on"), (plug_off, "off")):
        w(f"| {on} | {b['virtual_ms'] / 1e3:.3f} s | {ms(seconds(b, 'cpu_time'))} | {ms(seconds(b, 'real_time'))} |")
    w("")

    w("## 4. Scale")
    w("")
    w("`bench_scale`. 128 cables are as many as the driver has port numbers; the machine's first bus takes 126 of")
    w("them and its second host controller the other two.")
    w(context_line(scale))
    w("")
    w("### Plugging 1, 16 and 128 cables")
    w("")
    w("A fresh machine per iteration; the cables are plugged one after the other (200-byte IDs, timing model on)")
    w("and each printer is checked to be enumerated. The bus keeps a traffic log of every transfer for captures")
    w("(at most the latest 64 MiB per bus); the runs marked \"cleared\" empty it after each plug, to show what the")
    w("cables themselves hold.")
    w("")
    w("| Cables | Traffic log | Host CPU, all cables | Host real per cable | Virtual time, all cables | Driver pool per cable | All pool per cable | Heap per cable |")
    w("|---:|:---:|---:|---:|---:|---:|---:|---:|")
    for k, log in ((1, "kept"), (0, "cleared")):
        for n in plug_counts:
            b = plugs[(n, k)]
            w(f"| {n} | {log} | {ms(seconds(b, 'cpu_time'))} | {fmt(b['host_ms_per_cable'])} ms | "
              f"{b['virtual_ms'] / 1e3:.3f} s | {round(b['pool_bytes_per_cable'])} B | "
              f"{round(b['all_pool_bytes_per_cable'])} B | {fmt(b['heap_per_cable'] / 1e3)} kB |")
    w("")
    w("Driver pool: the bytes the driver holds per plugged cable (pool tag \"Ddk \"); all pool: every tag of the")
    w("kernel's pool. Heap: growth of the process's heap in use (`mallinfo2`) while the cables were plugged; with")
    w("the log cleared, the log's own array keeps its capacity for about one cable's records, so the largest count")
    w(f"comes closest to what a cable holds: each cable from 16 to 128 adds {fmt(heap_added / 1e3, 2)} kB. Host CPU for")
    w(f"all cables grows as cables^{k_plug_cpu:.2f} (^{k_plug_cpu_cleared:.2f} with the log cleared); virtual time")
    w("is linear because cables are plugged one at a time.")
    w("")
    w("### 1, 4 and 16 cables printing at once")
    w("")
    w("Each cable prints 64 KiB in 4096-byte requests (MaxTransferSize 4096) from its own thread, all at the same")
    w("time; an iteration ends when every job has completed.")
    w("")
    w("| Cables | Bytes per iteration | Host CPU | Host CPU per KiB | Host real | Aggregate virtual throughput | Bus fraction |")
    w("|---:|---:|---:|---:|---:|---:|---:|")
    for n in print_counts:
        b = conc[n]
        w(f"| {n} | {kib[n]} KiB | {ms(seconds(b, 'cpu_time'))} | {us(cpu_per_kib[n])} | {ms(seconds(b, 'real_time'))} | "
          f"{b['virtual_MBps']:.3f} MB/s | {b['bus_fraction']:.3f} |")
    w("")
    w(f"Host CPU per iteration grows as cables^{k_print_cpu:.2f}: {per_byte}. Of all the figures this one moves")
    w("most from run to run, and it need not stay flat: the jobs share one simulated bus, whose bulk transfers")
    w("take their frames one after another, and one virtual clock, whose lock every completion takes, so how much")
    w("CPU the printing threads spend being woken and put to wait again depends on how the host schedules more")
    w("threads than it has cores (runs on an idle 2-core machine have grown as about cables^1.2). The aggregate")
    w("virtual throughput does not grow: the cables share one bus, at the same fraction of its bulk limit as a")
    w("single cable.")
    w("")

    if usp or cbe:
        w("## 5. The cable on Linux: libusb and CUPS")
        w("")
        w("Real libusb-1.0 talking to the simulated cable behind an emulated `/dev/bus/usb` node (umockdev's preload")
        w("library and `tests/usbfs_cable`'s handler, which answers each URB from `sim::Cable`). The emulated device")
        w("has no bus timing: the throughput is what the host's processes manage, not a full-speed bus's.")
        w("")
    if usp:
        w("`bench_userspace`: 1 MiB jobs through `ostrolink::usb::Cable::write` with 4 bulk transfers queued. Writing")
        w("thread: the library and libusb; whole process: with the emulated device's handler and umockdev's traffic.")
        w(context_line(usp))
        w("")
        w("| Transfer size | Writing thread CPU per MiB | Whole process CPU per MiB | Host real per MiB | Transfers queued | URBs the device held at once |")
        w("|---:|---:|---:|---:|---:|---:|")
        for n, r in usp_runs.items():
            w(f"| {n // 1024} KiB | {fmt(r['writer_cpu_ms_per_MiB'])} ms | {fmt(r['process_cpu_ms_per_MiB'])} ms | "
              f"{ms(seconds(r, 'real_time'))} | {round(r['queued_max'])} | {round(r['device_saw_in_flight_max'])} |")
        w("")
        w("libusb sends a transfer above 16 KiB as several URBs, so the device holds more than 4 at 64 KiB.")
        w("")
    if cbe:
        w("`bench_cups_backend`: the backend `ostrolink` run as cupsd runs it, printing a job from standard input;")
        w("its CPU (user + system, its start and the cable lookup included) per MiB printed.")
        w(context_line(cbe))
        w("")
        w("| Job | Backend CPU per MiB | Host real per job | Bulk transfers in flight at most |")
        w("|---:|---:|---:|---:|")
        for n, r in cbe_runs.items():
            w(f"| {n} MiB | {fmt(r['backend_cpu_ms_per_MiB'])} ms | {ms(seconds(r, 'real_time'))} | "
              f"{round(r['queued_max'])} |")
        w("")

    times = Path(build_dir).parent / "test-times.txt"
    w(f"## {6 if usp or cbe else 5}. How long the commands take")
    w("")
    w("`make test` writes each step's wall and CPU time (user + system of every process of the step) to")
    w("`build/test-times.txt`. On two cores a step that keeps both busy (a build, `ctest -j 2`) takes about half")
    w("its CPU time in wall time; the steps run side by side where they can (see the `Makefile`).")
    if times.exists() and times.stat().st_size > 0:
        when = datetime.datetime.fromtimestamp(times.stat().st_mtime, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        w(f"The last `make test` in this build folder, ended {when}:")
        w("")
        w("```")
        out.extend(times.read_text().rstrip().splitlines())
        w("```")
    else:
        w("No `make test` has run in this build folder yet: run it, then `make figures`, to fill this section.")
    w("")
    (Path(repo) / "docs" / "figures.md").write_text("\n".join(out))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    json_dir = sys.argv[1]
    repo = sys.argv[2] if len(sys.argv) > 2 else str(Path(__file__).resolve().parent.parent)
    build_dir = sys.argv[3] if len(sys.argv) > 3 else str(Path(repo) / "build" / "host")
    write(json_dir, repo, build_dir)
