"""The client examples (clients/python/examples), imported by the tests as modules."""

import importlib.util
import os
from types import ModuleType

_FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "clients", "python", "examples")


def load_example(name: str) -> ModuleType:
    """The example `name`.py, loaded afresh."""
    found = importlib.util.spec_from_file_location(name, os.path.join(_FOLDER, name + ".py"))
    assert found is not None and found.loader is not None, name
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    return example
