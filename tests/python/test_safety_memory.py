"""A result larger than the memory is refused before any work, with advice that fits its cause."""

import pytest
from brantoveil_tools import api, engine
from brantoveil_tools.cli import main
from treefiles import random_trees, write

MANY_TAXA = [f"t{k}" for k in range(3000)]


@pytest.mark.parametrize("trees, taxa, options, limit, message", [
    # Many trees: the n x n matrix is what does not fit.
    (40, None, [], "4K", "the 40 x 40 matrix takes 6.4 kB, and 4.1 kB is free: write it in tiles (a .zarr output), "
                         "thin the sample or keep fewer trees (--no-memory-check tries anyway)"),
    # Two trees of many taxa: their splits' exports, not the trees, are what does not fit.
    (2, MANY_TAXA, ["--exports", "d"], "1M",
     "the split exports of trees of 3000 taxa take at least 10.1 MB, and 1.0 MB is free: do without the exports, "
     "or compare fewer taxa (--no-memory-check tries anyway)"),
], ids=["many trees", "many taxa"])
def test_a_result_too_large_for_the_limit_is_refused_up_front(tmp_path, monkeypatch, capsys, trees, taxa, options,
                                                             limit, message):
    write(tmp_path / "run.nwk", "\n".join(random_trees(trees, taxa=taxa) if taxa else random_trees(trees)) + "\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("BRANTOVEIL_MEMORY", limit)
    monkeypatch.setattr(engine, "pairwise", lambda *args, **keywords: pytest.fail("the engine ran"))
    assert main(["rf", "run.nwk", "--burnin", "0", "-q", "-o", "m.npy", *options]) == 2
    assert capsys.readouterr().err == f"brantoveil: error: {message}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.nwk"]
    monkeypatch.undo()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("BRANTOVEIL_MEMORY", limit)
    assert main(["rf", "run.nwk", "--burnin", "0", "-q", "-o", "m.npy", "--no-memory-check", *options]) == 0


def test_the_engine_running_out_of_memory_names_the_cause(monkeypatch):
    def exhausted(*args, **keywords):
        raise MemoryError

    monkeypatch.setattr(engine, "pairwise", exhausted)
    with pytest.raises(api.BrantoveilError, match=r"^the split exports of trees of 3000 taxa take at least 10.1 MB: "):
        api.distances(random_trees(2, taxa=MANY_TAXA), "rf", exports=True)
