import importlib.util
import inspect
import sys
import weakref

import pytest

import brindle

from conftest import internal_error_type


def test_public_names():
    assert brindle.__all__ == ["Encoder"]
    assert isinstance(brindle.Encoder, type)
    assert brindle.Encoder.__name__ == "Encoder"
    assert brindle.Encoder.__qualname__ == "Encoder"
    assert brindle.Encoder.__module__ == "builtins"
    assert brindle.__doc__


@pytest.mark.parametrize(
    "target, signature",
    [
        (brindle.Encoder, "(encoding=None)"),
        (brindle.Encoder.encode, "($self, obj)"),
        (brindle.Encoder.decode, "($self, obj)"),
    ],
)
def test_text_signatures(target, signature):
    assert target.__text_signature__ == signature


def test_inspect_signature():
    assert str(inspect.signature(brindle.Encoder)) == "(encoding=None)"
    assert str(inspect.signature(brindle.Encoder().encode)) == "(obj)"


def test_no_other_attributes():
    own = set(vars(brindle.Encoder)) - {"__doc__", "__new__", "__module__", "__text_signature__"}
    assert own == {"encode", "decode"}


def test_not_subclassable():
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Sub(brindle.Encoder):
            pass


def test_no_dict_no_weakref(enc):
    with pytest.raises(AttributeError):
        enc.extra = 1
    assert not hasattr(enc, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(enc)


def test_not_gc_tracked(enc):
    import gc

    assert not gc.is_tracked(enc)


def test_second_module_object_shares_the_type():
    found = importlib.util.find_spec("brindle")
    second = importlib.util.module_from_spec(found)
    found.loader.exec_module(second)
    assert second is not sys.modules["brindle"]
    assert second.Encoder is brindle.Encoder
    assert second.__all__ == ["Encoder"]


def test_internal_error_derives_from_base_exception():
    cls = internal_error_type()
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "BaseException" in cls.__doc__
