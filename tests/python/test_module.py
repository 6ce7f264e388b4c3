import qel
import qel._qel


def test_qel_error_is_a_plain_exception_reported_under_the_package():
    assert issubclass(qel.QelError, Exception)
    assert (qel.QelError.__module__, qel.QelError.__qualname__) == ("qel", "QelError")
    assert qel.QelError is qel._qel.QelError


def test_extension_is_built_for_the_stable_abi():
    assert qel._qel.__file__.endswith("_qel.abi3.so")
