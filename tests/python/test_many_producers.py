"""The guide's recipes for diffs built in worker processes and merged in the
parent, and the `builtins` rule they work around: multiprocessing,
concurrent.futures, cloudpickle and Dask's process scheduler (the last two
where they install)."""

import concurrent.futures
import multiprocessing
import pickle

import pytest

import tarnu_api
from tarnu_api import PyGraphDiff

PARTS = [[(bytes(15) + bytes([p]), bytes(15) + bytes([p + 1]), float(p))] for p in range(4)]


# Worker functions in an importable module (this one): the first pattern.
def build(part):
    d = tarnu_api.PyGraphDiff()
    for source, target, weight in part:
        d.add_edge(source, target, weight)
    d.delete_node(b"\xff" * 15 + part[0][0][-1:])
    return d.to_bytes()


def restore(payload):
    return tarnu_api.PyGraphDiff.from_bytes(payload)


def expected():
    total = PyGraphDiff()
    for part in PARTS:
        total.merge(PyGraphDiff.from_bytes(build(part)))
    return total.to_bytes()


def merged(payloads_or_diffs):
    total = PyGraphDiff()
    for item in payloads_or_diffs:
        total.merge(item if isinstance(item, PyGraphDiff) else PyGraphDiff.from_bytes(item))
    return total.to_bytes()


def test_multiprocessing_and_futures():
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        assert merged(pool.map(build, PARTS)) == expected()
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        # Diffs themselves travel too (they pickle through their bytes).
        assert merged(executor.map(restore, executor.map(build, PARTS))) == expected()


def test_the_class_and_its_methods_do_not_pickle_by_name():
    # __module__ is "builtins": pickle looks for builtins.PyGraphDiff.
    for obj in (PyGraphDiff, PyGraphDiff.from_bytes):
        with pytest.raises((pickle.PicklingError, TypeError, AttributeError)):
            pickle.dumps(obj)
    assert pickle.loads(pickle.dumps(PyGraphDiff.from_bytes(build(PARTS[0])))).counts() == (0, 1, 1, 0)


def test_cloudpickle_sends_functions_that_name_the_class_through_the_module():
    cloudpickle = pytest.importorskip("cloudpickle")
    # As if defined in __main__ or a notebook: cloudpickle sends such
    # functions by value, with the globals they name.
    through_module = eval("lambda payload: tarnu_api.PyGraphDiff.from_bytes(payload)", {"tarnu_api": tarnu_api})
    through_class = eval("lambda payload: PyGraphDiff.from_bytes(payload)", {"PyGraphDiff": PyGraphDiff})
    payload = build(PARTS[0])
    assert pickle.loads(cloudpickle.dumps(through_module))(payload).to_bytes() == payload
    # The class's __module__ is "builtins", so a function that names it
    # directly pickles only where cloudpickle finds the class some other way
    # (3.1 does); it then works as well.
    try:
        sent = cloudpickle.dumps(through_class)
    except (pickle.PicklingError, TypeError, AttributeError):
        return
    assert pickle.loads(sent)(payload).to_bytes() == payload


def test_dask_process_scheduler():
    dask = pytest.importorskip("dask")
    with dask.config.set({"multiprocessing.context": "fork"}):
        payloads = dask.compute(*[dask.delayed(build)(part) for part in PARTS], scheduler="processes",
                                num_workers=2)
    assert merged(payloads) == expected()
