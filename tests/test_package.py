import pytest

from QorvelAPI import utils


def test_extension_modules_import():
    import QorvelAPI.molstar  # noqa: F401
    import QorvelAPI.plugins  # noqa: F401


def test_singleton_meta_returns_one_instance_per_class():
    class A(metaclass=utils.SingletonMeta):
        def __init__(self, value=0):
            self.value = value

    class B(metaclass=utils.SingletonMeta):
        pass

    first = A(1)
    assert A(2) is first and first.value == 1
    assert B() is B() and B() is not first


def test_reset_remote_exception_is_an_exception():
    with pytest.raises(utils.ResetRemoteException):
        raise utils.ResetRemoteException("reset")


def test_missing_argument_is_reported_before_a_type_error():
    from QorvelAPI.plugins import PluginVariable

    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'type'"):
        PluginVariable(1, "A", "d")
