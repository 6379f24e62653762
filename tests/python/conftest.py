import pytest

from support import open_store


@pytest.fixture
def store_dir(tmp_path):
    return tmp_path / "store"


@pytest.fixture
def store(store_dir):
    """A fresh, empty store in tmp_path."""
    return open_store(store_dir)
