"""The include-layer check on small trees of one file each."""

import importlib.util
from pathlib import Path

import pytest

_spec = importlib.util.spec_from_file_location(
    "check_includes", Path(__file__).parents[2] / "scripts" / "check_includes.py"
)
check_includes = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_includes)


@pytest.mark.parametrize(
    ("path", "include", "problem"),
    [
        ("core/src/container/reader.cpp", "payload/block.hpp", None),
        ("core/src/container/reader.cpp", "container/header.hpp", None),
        ("core/src/container/reader.cpp", "qel/meta.hpp", None),
        ("core/src/container/reader.cpp", "samples/channel_builder.hpp", "is not below container"),
        ("core/src/container/reader.cpp", "qel/manager.hpp", "samples (rank 5) is not below"),
        ("core/src/common/error.cpp", "memory/mapping_cache.hpp", "memory (rank 0) is not below"),
        ("core/src/payload/block.hpp", "byte_order.hpp", 'as "folder/name.hpp"'),
        ("core/src/payload/block.hpp", "qel/block.hpp", "no folder owns"),
        ("core/include/qel/error.hpp", "qel/types.hpp", "metablock (rank 2) is not below common"),
        ("core/include/qel/stream.hpp", "common/wire.hpp", "public headers only"),
        ("python/src/save.cpp", "container/reader.hpp", "the extension includes"),
        ("python/src/save.cpp", "qel/manager.hpp", None),
        ("core/src/loose.cpp", "qel/error.hpp", "directly in a folder of LAYERS"),
    ],
)
def test_include_rule(tmp_path, path, include, problem):
    file = tmp_path / path
    file.parent.mkdir(parents=True)
    file.write_text(f'#pragma once\n\n#include <vector>\n  #  include "{include}"\n')
    problems = check_includes.check(tmp_path)
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1
        assert problem in problems[0]
        assert problems[0].startswith(str(file))

