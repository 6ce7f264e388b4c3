import qel
import qel._qel


def test_version_is_exposed_by_module_and_package():
    assert qel._qel.__version__ == "1.1.0"
    assert qel.__version__ == "1.1.0"


def test_qel_error_is_a_plain_exception_reported_under_the_package():
    assert issubclass(qel.QelError, Exception)
    assert qel.QelError.__module__ == "qel"
    assert qel.QelError.__qualname__ == "QelError"
    assert qel.QelError.__doc__ is None
    assert qel.QelError is qel._qel.QelError


def test_extension_is_built_for_the_stable_abi():
    assert qel._qel.__file__.endswith("_qel.abi3.so")


def test_module_registers_its_names_in_order():
    names = [name for name in vars(qel._qel) if name == "__version__" or not name.startswith("_")]
    assert names == [
        "__version__",
        "QelError",
        "DataManager",
        "Channel",
        "Segment",
        "ReaderStats",
        "WriterBuilder",
        "load",
        "save",
    ]
    assert set(qel.__all__) == set(names)
