import numpy as np
import pytest

import brindle


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), (("label",), {}), ((), {"encoding": "label"}), ((), {"encoding": None}),
     ((StrSub("label"),), {}), ((), {"encoding": StrSub("label")})],
)
def test_constructor_accepts(args, kwargs):
    enc = brindle.Encoder(*args, **kwargs)
    # a fresh encoder has no books: decode of a float matrix gives it back
    x = np.arange(6.0).reshape(2, 3)
    np.testing.assert_array_equal(enc.decode(x), x)
    # and it codes text by label
    text = np.array([["b", 1.0], ["a", 2.0]], dtype=object)
    np.testing.assert_array_equal(enc.encode(text), [[1.0, 1.0], [0.0, 2.0]])
    assert enc.decode(text).tolist() == text.tolist()


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("Label",), {}, ValueError, "Label is not a supported encoding strategy for strings!"),
        (("",), {}, ValueError, " is not a supported encoding strategy for strings!"),
        ((StrSub("lab"),), {}, ValueError, "lab is not a supported encoding strategy for strings!"),
        (("label", "x"), {}, TypeError,
         "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"strategy": "label"}, TypeError,
         "Encoder.__new__() got an unexpected keyword argument 'strategy'"),
        (("label",), {"encoding": "label"}, TypeError,
         "Encoder.__new__() got multiple values for argument 'encoding'"),
    ],
)
def test_constructor_refuses(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        brindle.Encoder(*args, **kwargs)
    assert str(info.value) == message
    assert type(info.value) is exc


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (b"label", TypeError, "'bytes' object is not an instance of 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_encoding_errors_carry_a_note(value, exc, message):
    with pytest.raises(exc) as info:
        brindle.Encoder(value)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'encoding'"]


@pytest.mark.parametrize("method", ["encode", "decode"])
def test_method_argument_errors(enc, method):
    fn = getattr(enc, method)
    name = f"Encoder.{method}()"
    cases = [
        ((), {}, f"{name} missing 1 required positional argument: 'obj'"),
        ((1, 2), {}, f"{name} takes 1 positional arguments but 2 were given"),
        ((), {"x": 1}, f"{name} got an unexpected keyword argument 'x'"),
        ((1,), {"obj": 1}, f"{name} got multiple values for argument 'obj'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value) == message


@pytest.mark.parametrize("method", ["encode", "decode"])
def test_obj_by_keyword(enc, method):
    x = np.eye(2)
    np.testing.assert_array_equal(getattr(enc, method)(obj=x), x)
