"""Fixtures of the kestrune_data tests (a package, so that this conftest
and the one of tests/python keep apart)."""

import pytest

from .support import encoding_builder, standard_builder, synapt_builder

_built = {}


@pytest.fixture(scope="session")
def encoding_run(tmp_path_factory):
    """encoding_run(letter): the run of encoding_builder(letter), built once
    per session and read-only."""
    def get(letter):
        if letter not in _built:
            path = tmp_path_factory.mktemp("enc-" + letter) / "encoding.raw"
            _built[letter] = encoding_builder(letter).build(str(path))
        return _built[letter]
    return get


@pytest.fixture(scope="session")
def standard_run(tmp_path_factory):
    return standard_builder().build(str(tmp_path_factory.mktemp("std") / "standard.raw"))


@pytest.fixture(scope="session")
def synapt_run(tmp_path_factory):
    return synapt_builder().build(str(tmp_path_factory.mktemp("syn") / "synapt.raw"))
