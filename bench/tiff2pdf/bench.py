#!/usr/bin/env python3
"""Measures tiff2pdf converters on the benchmark inputs; see run.sh."""
import argparse
import glob
import os
import statistics
import subprocess
import sys
import time

# (file, what it is, decoded bytes of one page, checks that apply)
INPUTS = [
    ("g4-1page.tif", "bilevel G4, 1 page", 2480 * 3508 // 8, "g4"),
    ("g4-10pages.tif", "bilevel G4, 10 pages", 2480 * 3508 // 8, "g4"),
    ("g4-strips.tif", "bilevel G4, 1 page in strips", 2480 * 3508 // 8, "g4"),
    ("gray8.tif", "8-bit gray, uncompressed", 2480 * 3508, "gray"),
    ("rgb-jpeg.tif", "RGB JPEG (YCbCr 4:2:0, q85)", 2480 * 3508 * 3, "jpeg"),
    ("rgb-deflate.tif", "RGB Deflate + predictor", 2480 * 3508 * 3, "deflate"),
    ("gray8-deflate-strips.tif", "gray Deflate, 64 KB strips", 2480 * 3508, "gray"),
    ("rgb-deflate-strips.tif", "RGB Deflate, 64 KB strips", 2480 * 3508 * 3, "deflate"),
    ("cmyk-lzw.tif", "CMYK LZW", 2480 * 3508 * 4, "cmyk"),
    ("cmyk-halftone-lzw.tif", "CMYK LZW, halftoned", 2480 * 3508 * 4, "cmyk"),
]


def tools(ours):
    # cp is the floor: what it costs to read the file and write as many bytes, with no conversion.
    return [
        ("ours", lambda i, o: [ours, i, o]),
        ("img2pdf", lambda i, o: ["img2pdf", "-o", o, i]),
        ("cp", lambda i, o: ["cp", i, o]),
        # The converter syncs its PDF to disk before it reports success (the TIFF is deleted next):
        # the same copy, synced, shows what that part of its time is.
        ("cp+sync", lambda i, o: ["dd", f"if={i}", f"of={o}", "bs=4M", "conv=fsync", "status=none"]),
    ]


def measure(cmd):
    """Wall time and CPU time in seconds, peak resident memory in bytes, exit code, stderr of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, proc.returncode, err


def peak_memory(cmd):
    """Peak resident memory in bytes, measured by GNU time: a process started from Python would
    report Python's own size as its floor, since Linux carries the high-water mark across exec."""
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    return int(r.stderr.strip().splitlines()[-1]) * 1024


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True)


def lossless(gen, tif, pdf, work, kind, expected_cache):
    """'identical' when every page's image decodes to the TIFF's pixels (as libtiff decodes them)."""
    npages = run(["qpdf", "--show-npages", pdf])
    if npages.returncode != 0:
        return "unreadable"
    pages = int(npages.stdout.strip())
    tiff_pages = int(run(["tiffinfo", tif]).stdout.count("TIFF Directory at offset"))
    if pages != tiff_pages:
        return f"{pages} of {tiff_pages} pages"
    notes = []
    if kind == "cmyk":
        # Compared as CMYK samples: any conversion to RGB would differ between decoders.
        prefix = os.path.join(work, "samples-of")
        for f in glob.glob(prefix + "-*"):
            os.remove(f)
        run(["pdfimages", "-tiff", "-f", "1", "-l", "1", pdf, prefix])
        got = sorted(glob.glob(prefix + "-*"))
        if not got:
            return "no image"
        cmp = run([gen, "samples", tif, got[0]])
        return "identical" if cmp.returncode == 0 else cmp.stdout.strip() or "differs"
    if kind == "jpeg":
        ref = os.path.join(work, "ref.jpg")
        subprocess.run([gen, "jpeg", tif, ref], check=True)
        prefix = os.path.join(work, "raw")
        for f in glob.glob(prefix + "-*"):
            os.remove(f)
        run(["pdfimages", "-j", "-f", "1", "-l", "1", pdf, prefix])
        got = sorted(glob.glob(prefix + "-*"))
        same = bool(got) and got[0].endswith(".jpg") and open(got[0], "rb").read() == open(ref, "rb").read()
        notes.append("JPEG byte-identical" if same else "JPEG re-encoded")
    worst = "identical"
    for page in range(1, pages + 1):
        key = (tif, page)
        if key not in expected_cache:
            path = os.path.join(work, f"expect-{os.path.basename(tif)}-{page}.ppm")
            subprocess.run([gen, "expect", tif, str(page), path], check=True)
            expected_cache[key] = path
        prefix = os.path.join(work, "img")
        for f in glob.glob(prefix + "-*"):
            os.remove(f)
        run(["pdfimages", "-f", str(page), "-l", str(page), pdf, prefix])
        got = sorted(glob.glob(prefix + "-*"))
        if not got:
            return "no image"
        cmp = run([gen, "compare", expected_cache[key], got[0]])
        if cmp.returncode != 0:
            worst = f"page {page}: {cmp.stdout.strip()}"
            break
    notes.insert(0, worst)
    return "; ".join(notes)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ours", required=True)
    ap.add_argument("--gen", required=True)
    ap.add_argument("--inputs", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--runs", type=int, default=7)
    a = ap.parse_args()

    baseline = max(peak_memory([a.ours, "-h"]) for _ in range(3))
    results = {}
    expected_cache = {}
    for name, what, decoded, kind in INPUTS:
        tif = os.path.join(a.inputs, name)
        for tool, make in tools(a.ours):
            out = os.path.join(a.work, f"{os.path.splitext(name)[0]}.{tool}.pdf")
            times, cpus, failure = [], [], ""
            for _ in range(a.runs):
                if os.path.exists(out):
                    os.remove(out)
                elapsed, cpu, _, code, err = measure(make(tif, out))
                if code != 0:
                    failure = f"exit {code}: {err.strip()[:80]}"
                    break
                times.append(elapsed)
                cpus.append(cpu)
            r = {"failure": failure}
            if not failure:
                r["time"] = statistics.median(times)
                r["cpu"] = statistics.median(cpus)
                os.remove(out)
                r["peak"] = peak_memory(make(tif, out))
                r["size"] = os.path.getsize(out)
            if not failure and tool not in ("cp", "cp+sync"):
                check = run(["qpdf", "--check", out])
                r["valid"] = check.returncode == 0
                r["lossless"] = lossless(a.gen, tif, out, a.work, kind, expected_cache)
                # What the same converter needs for a 32 x 32 page of the same kind: its fixed cost.
                tiny_out = os.path.join(a.work, "tiny.pdf")
                if os.path.exists(tiny_out):
                    os.remove(tiny_out)
                r["fixed"] = peak_memory(make(os.path.join(a.inputs, "tiny", name), tiny_out))
            results[(name, tool)] = r
            print(f"  measured {name} with {tool}", file=sys.stderr)

    print()
    print(f"tiff2pdf benchmark: 300 dpi A4 (2480 x 3508), median of {a.runs} runs, "
          f"{os.cpu_count()} cores; ours = {a.ours}")
    print(f"ours' resident memory when it only prints its usage: {baseline / 2**20:.1f} MiB; "
          f"machine load average {os.getloadavg()[0]:.1f}")
    print("time = wall clock (the targets' measure); cpu = user + system time, steadier on a busy machine;")
    print("+MiB = peak memory beyond the same converter's peak on a 32 x 32 page of the same kind")
    print()
    head = (f"{'input':<30} {'tool':<8} {'time ms':>9} {'/cp':>6} {'/img2pdf':>8} {'cpu ms':>8} "
            f"{'peak MiB':>9} {'+MiB':>5} "
            f"{'size bytes':>11} {'/img2pdf':>8}  {'qpdf':<5} lossless")
    print(head)
    print("-" * len(head))
    verdicts = []
    for name, what, decoded, kind in INPUTS:
        floor = results[(name, "cp")]
        ip = results[(name, "img2pdf")]
        for tool, _ in tools(a.ours):
            r = results[(name, tool)]
            label = f"{what}" if tool == "ours" else ""
            if r["failure"]:
                print(f"{label:<30} {tool:<8} FAILED {r['failure']}")
                continue
            rf = f"{r['time'] / floor['time']:.2f}" if not floor["failure"] else "-"
            ri = f"{r['time'] / ip['time']:.2f}" if not ip["failure"] else "-"
            if tool in ("cp", "cp+sync"):
                what_it_is = "(the floor: a copy of the file)" if tool == "cp" else "(the same copy, synced to disk)"
                print(f"{label:<30} {tool:<8} {r['time'] * 1000:>9.1f} {rf:>6} {ri:>8} {r['cpu'] * 1000:>8.1f} "
                      f"{r['peak'] / 2**20:>9.1f} {'':>5} {r['size']:>11} {'':>8}  {what_it_is}")
                continue
            rs = f"{r['size'] / ip['size']:.3f}" if not ip["failure"] else "-"
            print(f"{label:<30} {tool:<8} {r['time'] * 1000:>9.1f} {rf:>6} {ri:>8} {r['cpu'] * 1000:>8.1f} "
                  f"{r['peak'] / 2**20:>9.1f} {(r['peak'] - r['fixed']) / 2**20:>5.1f} "
                  f"{r['size']:>11} {rs:>8}  {'ok' if r['valid'] else 'FAIL':<5} {r['lossless']}")
        o = results[(name, "ours")]
        if o["failure"]:
            verdicts.append((name, "ours failed", False))
            continue
        verdicts.append((name, "valid (qpdf --check) and lossless",
                         o["valid"] and o["lossless"].startswith("identical")))
        if kind == "jpeg":
            verdicts.append((name, "JPEG data passed through byte-identical", "byte-identical" in o["lossless"]))
        if not ip["failure"]:
            verdicts.append((name, f"size <= img2pdf's ({o['size'] / ip['size']:.3f}x)", o["size"] <= ip["size"]))
            share = 1.0 if kind == "cmyk" else 0.5
            verdicts.append((name, f"time <= {share} x img2pdf's ({o['time'] / ip['time']:.2f}x)",
                             o["time"] <= share * ip["time"]))
        if kind in ("g4", "jpeg") and not floor["failure"]:
            verdicts.append((name, f"time <= 1.5 x a copy of the file ({o['time'] / floor['time']:.2f}x)",
                             o["time"] <= 1.5 * floor["time"]))
        verdicts.append((name, f"peak memory beyond its fixed cost ({(o['peak'] - o['fixed']) / 2**20:.1f} MiB) "
                               f"<= one decoded page ({decoded / 2**20:.1f} MiB)",
                         o["peak"] - o["fixed"] <= decoded))
    print()
    print("targets:")
    for name, text, ok in verdicts:
        print(f"  {'met   ' if ok else 'MISSED'} {name:<16} {text}")
    print()
    print("for comparison, not a target: time against the synced copy (the converter syncs its PDF)")
    for name, what, decoded, kind in INPUTS:
        o, synced = results[(name, "ours")], results[(name, "cp+sync")]
        if kind in ("g4", "jpeg") and not o["failure"] and not synced["failure"]:
            print(f"         {name:<16} {o['time'] / synced['time']:.2f}x a synced copy")
    return 0


if __name__ == "__main__":
    sys.exit(main())
