import os
import sys

import pytest

import dovel
from conftest import ROOT, data_path
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from dovelkit.alignment.options import PRESETS, parameters  # noqa: E402

ATTRIBUTES = ("n_passes", "e1", "e2", "gap_open", "gap_extend", "use_secondary", "max_iter",
              "cutoff_dist", "score_cutoff", "convergence", "verbosity")
CHANGED_BY_SENSITIVE = {"e1", "e2", "cutoff_dist", "gap_open"}


def values(p):
    return {name: getattr(p, name) for name in ATTRIBUTES}


FOLDERS = {"1hrc": "cytochrome_c", "1c2r": "cytochrome_c", "2cpl": "unrelated", "1rgg": "microbial_ribonuclease",
           "9rnt": "microbial_ribonuclease", "3trx": "thioredoxin", "256b": "cytochrome_cprime_b562"}


def load(name):
    if name in FOLDERS:
        return dovel.Domain.from_pdb(data_path("families", FOLDERS[name], f"{name}.pdb"))
    return dovel.Domain.from_pdb(data_path(f"{name}.pdb"))


def test_attribute_list_is_complete():
    public = {a for a in dir(dovel.Parameters()) if not a.startswith("_")}
    assert public == set(ATTRIBUTES)


def test_default_is_the_module_default_and_a_fresh_object():
    p = parameters("default")
    assert isinstance(p, dovel.Parameters)
    assert values(p) == values(dovel.Parameters())
    assert values(parameters()) == values(dovel.Parameters())
    p.e1 = 7.0
    assert parameters("default").e1 == dovel.Parameters().e1


def test_sensitive_changes_only_its_documented_values():
    base, sens = values(dovel.Parameters()), values(parameters("sensitive"))
    changed = {k for k in ATTRIBUTES if base[k] != sens[k]}
    assert changed == CHANGED_BY_SENSITIVE
    # Looser distance and geometry scales, a higher fragment threshold, cheaper gaps.
    assert sens["e1"] > base["e1"] and sens["e2"] > base["e2"]
    assert sens["cutoff_dist"] > base["cutoff_dist"] and sens["gap_open"] < base["gap_open"]
    # Each call is independent of earlier callers' edits.
    first = parameters("sensitive")
    first.cutoff_dist = 1.0
    assert parameters("sensitive").cutoff_dist == sens["cutoff_dist"]


@pytest.mark.parametrize("bad", ["", "Sensitive", "fast", " default", None, 1, ["default"]])
def test_unknown_preset_names_the_valid_ones(bad):
    with pytest.raises(ValueError) as err:
        parameters(bad)
    for name in PRESETS:
        assert repr(name) in str(err.value)


def scan(query, target, preset):
    hits = dovel.scan_database(query, [target], parameters(preset), score_cutoff=0.0, max_hits=1,
                               quick=False, scan_mode=True)
    assert len(hits) == 1
    return hits[0]


def test_sensitive_finds_a_distant_homologue_the_default_misses():
    # Horse cytochrome c and Rhodopseudomonas cytochrome c2: about 1.9 A over 99 residues (TM-align).
    hrc, c2r = load("1hrc"), load("1c2r")
    assert scan(hrc, c2r, "default").score == 0.0
    hit = scan(hrc, c2r, "sensitive")
    assert hit.score > 0.5
    assert hit.n_aligned >= 90 and hit.rmsd < 2.5


@pytest.mark.parametrize("query, target", [("1rgg", "2cpl"), ("256b", "1a8o"), ("9rnt", "3trx")])
def test_sensitive_keeps_unrelated_chains_at_zero(query, target):
    # Different folds that a much looser setting (e1 12, e2 16, cutoff_dist 10, gap_open 1.5)
    # scores at 0.33-0.35: the raised fragment threshold must keep them out.
    assert scan(load(query), load(target), "sensitive").score == 0.0


def test_sensitive_flag_on_the_commands(tmp_path):
    """`--sensitive` reaches the alignment: 1hrc/1c2r is found only with it, by align and by msa."""
    import json
    import subprocess

    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    hrc, c2r = (data_path("families", "cytochrome_c", f"{n}.pdb") for n in ("1hrc", "1c2r"))

    def run(*args):
        p = subprocess.run([sys.executable, "-m", "dovelkit", *args], capture_output=True, text=True, env=env,
                           timeout=300)
        assert p.returncode == 0, p.stderr
        return p.stdout

    assert json.loads(run("align", hrc, c2r, "--json", "--family"))["n_aligned"] == 0
    assert json.loads(run("align", hrc, c2r, "--json", "--sensitive"))["n_aligned"] > 80
    fasta = tmp_path / "aln.fasta"
    run("msa", hrc, c2r, "-o", str(tmp_path / "out"), "--fasta", str(fasta), "--sensitive")
    core = fasta.read_text().split(">core")[1].split("\n", 1)[1].replace("\n", "")
    assert core.count("*") > 80


def test_msa_names_what_it_could_not_place(tmp_path):
    import subprocess

    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    hrc, c2r = (data_path("families", "cytochrome_c", f"{n}.pdb") for n in ("1hrc", "1c2r"))
    p = subprocess.run([sys.executable, "-m", "dovelkit", "msa", hrc, c2r, "-o", str(tmp_path), "--family"],
                       capture_output=True, text=True, env=env, timeout=300)
    assert p.returncode == 3  # written, but not aligned: the status says so
    assert "no superposition of 1c2r_A onto 1hrc_A" in p.stderr and "--sensitive" in p.stderr
    assert p.stderr.splitlines()[-1].endswith("not aligned with 1hrc_A: 1c2r_A")


def test_sensitive_search_finds_the_distant_cytochrome():
    import json
    import subprocess

    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    family = data_path("families", "cytochrome_c")

    def found(*extra):
        p = subprocess.run([sys.executable, "-m", "dovelkit", "search", os.path.join(family, "1hrc.pdb"), family,
                            "--workers", "1", "--json", *extra], capture_output=True, text=True, env=env, timeout=300)
        assert p.returncode == 0, p.stderr
        return {h["id"] for h in json.loads(p.stdout)["hits"] if h["score"] > 0}

    assert "1c2r_A" not in found("--family")
    assert "1c2r_A" in found("--sensitive")


def test_options_one_value_for_how_to_align_and_the_old_names_still_work():
    import pickle
    import warnings

    import dovelkit
    from dovelkit import Options

    assert (Options().level, Options().method) == ("fold", None)
    assert (Options("family").method, Options(method="direct").level) == ("scan", "family")
    assert Options(params=dovelkit.parameters("sensitive")).level == "family"
    for bad in (dict(level="tm"), dict(level="family", method="full"), dict(level="fold", method="scan")):
        with pytest.raises(ValueError):
            Options(**bad)
    with pytest.raises(TypeError):
        Options("family", params="sensitive")
    sensitive = Options("family", "quick", dovelkit.parameters("sensitive"))
    back = pickle.loads(pickle.dumps(sensitive))  # to worker processes, parameters included
    assert (back.level, back.method, back.params.e1) == ("family", "quick", 5.0)

    a = dovelkit.load(data_path("families", "cytochrome_c", "1hrc.pdb"))
    b = dovelkit.load(data_path("families", "cytochrome_c", "1ycc.pdb"))
    new = dovelkit.align(a, b, level="family", method="direct")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        old = dovelkit.align(a, b, scan=False, mode="family")
        assert old.mode == "direct"
    assert {type(w.message) for w in caught} == {DeprecationWarning} and len(caught) == 3
    assert (old.level, old.method, old.score, old.pairs.tolist()) == (new.level, new.method, new.score,
                                                                      new.pairs.tolist())
    assert dovelkit.align(a, b).level == "fold"  # the kit's default is the command's
    with pytest.raises(TypeError):
        dovelkit.align(a, b, options=Options(), level="fold")
    with pytest.raises(ValueError), pytest.warns(DeprecationWarning):
        dovelkit.align(a, b, level="fold", mode="family")
    with pytest.warns(DeprecationWarning):
        hits = dovelkit.search(a, [a, b], workers=1, quick=True, scan_mode=False)
    assert [h.score for h in hits] == [h.score for h in dovelkit.search(a, [a, b], workers=1, method="quick")]


def test_the_old_command_line_options_say_they_are_deprecated():
    from conftest import dovel_cmd

    hrc = data_path("families", "cytochrome_c", "1hrc.pdb")
    crc = data_path("families", "cytochrome_c", "1crc.pdb")
    old, new = dovel_cmd("align", hrc, crc, "--direct", "--json"), dovel_cmd("align", hrc, crc, "--method", "direct",
                                                                             "--json")
    assert old.returncode == new.returncode == 0 and old.stdout == new.stdout
    assert old.stderr == "dovel align: --direct is deprecated; use --method direct\n" + new.stderr
    old = dovel_cmd("search", hrc, crc, "--mode", "full", "--workers", "1")
    assert old.returncode == 0 and old.stderr == "dovel search: --mode full is deprecated; use --method direct\n"
    assert old.stdout == dovel_cmd("search", hrc, crc, "--method", "direct", "--workers", "1").stdout
