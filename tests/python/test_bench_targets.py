"""The benchmark's verdicts on the speed and memory targets (bench/run.py): met, or missed by the
measured factor, from the rows of one run or of a results file already written."""
import importlib.util
import os

import pytest

SOURCE = os.environ.get("VOLNLM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.fixture(scope="module")
def bench():
    path = os.path.join(SOURCE, "bench", "run.py")
    found = importlib.util.spec_from_file_location("bench_run_under_test", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def row(contender, params, seconds, psnr=30.0, ratio=None, case="whole 181x217x181"):
    return {"case": case, "contender": contender, "params": params, "seconds": seconds, "ratio": ratio,
            "psnr": psnr}


def verdicts(table):
    return {line.split("|")[1].strip(): line.split("|")[3].strip() for line in table.splitlines()[2:]}


@pytest.mark.parametrize("ours, base, ours_psnr, base_psnr, expected", [
    (5.0, 200.0, 38.0, 38.0, "met"),                 # exactly 40x
    (5.0, 190.0, 38.0, 38.0, "missed by 1.05×"),     # 38x
])
def test_a_speed_target_is_met_or_missed_by_its_factor(bench, ours, base, ours_psnr, base_psnr, expected):
    rows = [row("blockdenoise fast", "R=3 p=1", ours, ours_psnr, ratio=1.5),
            row("blockdenoise reference", "R=3 p=1", base, base_psnr)]
    assert verdicts(bench.targets_table(rows))["blockdenoise R=3 p=1, 40x its reference"] == expected


@pytest.mark.parametrize("ours_psnr, seconds, expected", [
    (37.9, 10.0, "met"),
    (34.0, 10.0, "missed: PSNR not better"),
    (34.25, 10.0, "missed: PSNR not better"),        # equal is not better
    (34.0, 17.0, "missed: PSNR not better; missed by 1.20×"),
])
def test_the_scikit_image_target_also_needs_the_better_psnr(bench, ours_psnr, seconds, expected):
    rows = [row("blockdenoise fast", "R=5 p=1", seconds, ours_psnr),
            row("skimage nlm fast mode", "patch 3, distance 5", 85.0, 34.25)]
    table = bench.targets_table(rows)
    assert verdicts(table)["blockdenoise R=5 p=1, 6x scikit-image d=5 at a better PSNR"] == expected


def test_the_memory_target_takes_the_largest_ratio_of_our_filters(bench):
    rows = [row("sorvane fast", "R=3, guide blockdenoise R=3", 1.0, ratio=1.1),
            row("sorvane reference", "R=3, guide blockdenoise R=3", 20.0, ratio=1.2),
            row("blockdenoise fast", "R=5 p=1", 1.0, ratio=2.3),
            row("blockdenoise fast", "R=3 p=1", 1.0, ratio=2.6, case="crop 96^3")]  # crops do not count
    table = bench.targets_table(rows)
    assert "| at most 2.30 (blockdenoise fast R=5 p=1) | missed by 1.15× |" in table
    assert verdicts(table)["sorvane R=3, 15x its reference"] == "met"


def test_a_run_without_whole_volume_rows_has_no_targets(bench):
    assert bench.targets_table([row("blockdenoise fast", "R=3 p=1", 1.0, case="crop 96^3")]) is None


def test_a_written_file_gets_its_section_from_its_own_table_once(bench):
    text = "\n".join([
        "# run", "", "## Results", "",
        "| case | contender | parameters | seconds | Mvoxel/s | peak MiB | peak / arrays | PSNR brain dB "
        "| speed-up vs reference | speed vs skimage d=5 |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|",
        "| whole 181x217x181 | noisy input | | | | | | 30.47 | | |",
        "| whole 181x217x181 | sorvane fast | R=5, guide blockdenoise R=3 | 2.768 | 2.57 | 296 | 1.09 | 39.13 | 14.8× | |",
        "| whole 181x217x181 | sorvane reference | R=5, guide blockdenoise R=3 | 40.875 | 0.17 | 329 | 1.21 | 39.13 | | |",
        "", "## Masks", "", "masks table", ""])
    rows = bench.parse_results(text)
    assert [r["contender"] for r in rows] == ["sorvane fast", "sorvane reference"]
    table = bench.targets_table(rows)
    assert verdicts(table)["sorvane R=5, 15x its reference"] == "missed by 1.02×"
    once = bench.with_targets(text, table)
    assert once.index("## Results") < once.index("## Targets") < once.index("## Masks")
    assert bench.with_targets(once, table) == once
