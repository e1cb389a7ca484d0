"""The parameter study's bookkeeping (python/tools/measure_defaults.py): which recorded runs count
as the current defaults, which record of a repeated run is read, and what the table picks."""
import importlib.util
import json
import os

import pytest

import volnlm
from conftest import phantom, rician

SOURCE = os.environ.get("VOLNLM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.fixture(scope="module")
def study():
    path = os.path.join(SOURCE, "python", "tools", "measure_defaults.py")
    found = importlib.util.spec_from_file_location("measure_defaults_under_test", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def noisy():
    return rician(phantom() * 200.0, 12.0, seed=5)


def edited(params, **changes):
    out = json.loads(json.dumps(params))
    out["Parameters"].update(changes)
    return out


def test_an_earlier_run_counts_as_the_defaults_only_with_their_choices(study, noisy):
    _, params = volnlm.denoise(noisy, return_params=True)
    params = json.loads(json.dumps(params, default=str))
    _, block = volnlm.denoise(noisy, method="block", return_params=True)
    block = json.loads(json.dumps(block, default=str))
    d = volnlm.DEFAULTS
    smoothing = params["Parameters"]["Smoothing"]
    cases = [
        ("as run", params, True),
        ("block method as run", block, True),
        ("another search radius", edited(params, SearchRadius=d["search_radius"] + 1), False),
        ("another patch radius", edited(params, PatchRadius=params["Parameters"]["PatchRadius"] + 1),
         False),
        ("the block method's patch radius", edited(params, PatchRadius=block["Parameters"]["PatchRadius"]),
         False),
        ("another guided radius", edited(params, GuidedSearchRadius=d["guided_search_radius"] + 1),
         False),
        ("a smoothing off the rule", edited(params, Smoothing=smoothing * 1.25), False),
        ("a smoothing not recorded", edited(params, Smoothing=None), False),
    ]
    for name, p, expected in cases:
        assert study.used_the_defaults(p, noisy) is expected, name
    # The rule's choice for another volume, whose signal level puts this sigma at another noise
    # ratio, is not this one's.
    brighter = rician(phantom() * 1000.0, 12.0, seed=5)
    assert not study.used_the_defaults(params, brighter)


def test_the_last_record_of_a_run_is_read_and_the_table_picks_by_setting(study, tmp_path,
                                                                         monkeypatch):
    lines = [
        dict(key="v|0.03|guided|2|1|0.6|4", volume="v", level=0.03, kind="guided", r=2, p=1,
             h=0.6, rg=4, psnr=39.0),
        # the same run again, with its SSIM: this record replaces the first
        dict(key="v|0.03|guided|2|1|0.6|4", volume="v", level=0.03, kind="guided", r=2, p=1,
             h=0.6, rg=4, psnr=39.0, ssim=0.97),
        dict(key="v|0.03|guided|2|1|0.6|4|0.85", volume="v", level=0.03, kind="guided", r=2, p=1,
             h=0.6, rg=4, contrast=0.85, psnr=39.5),
        dict(key="v|0.09|guided|2|1|0.6|4", volume="v", level=0.09, kind="guided", r=2, p=1,
             h=0.6, rg=4, psnr=30.0),
    ]
    results = tmp_path / "results.jsonl"
    results.write_text("".join(json.dumps(x) + "\n" for x in lines))
    monkeypatch.setattr(study, "RESULTS", str(results))
    recs = study.records()
    assert len(recs) == 3
    plain = study.pick(recs, "v", 0.03, "guided", r=2, p=1, h=0.6, rg=4, contrast=None)
    assert plain["ssim"] == 0.97 and "contrast" not in plain
    best = study.pick(recs, "v", 0.03, "guided")
    assert best["contrast"] == 0.85
    assert study.setting_text(best) == "R=2 p=1 h=0.6 Rg=4 contrast 0.85"
    assert study.pick(recs, "v", 0.05, "guided") is None
