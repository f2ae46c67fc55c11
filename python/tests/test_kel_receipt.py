import hashlib
import hmac
import struct

import pytest

from _kelvara import KelBoundary, KelReceipt

from conftest import raises_text

KEY = bytes(range(32))


def signed_message(receipt, action_id, position, velocity):
    """The signed bytes, rebuilt from the receipt's own fields."""
    ident = action_id.encode()
    return (
        receipt.receipt_hash[:12]
        + struct.pack("<QQQ", receipt.timestamp_nanos, receipt.sequence_id, len(ident))
        + ident
        + struct.pack("<Q", 16)
        + struct.pack("<dd", position, velocity)
    )


@pytest.fixture
def receipt():
    return KelBoundary(hmac_key=KEY).authorize_action(3, 0.5, -1.25)


def test_fields_and_byte_form(receipt):
    assert receipt.is_authorized is True
    raw = receipt.receipt_hash
    assert isinstance(raw, bytes) and len(raw) == 60
    assert struct.unpack_from("<Q", raw, 12)[0] == receipt.timestamp_nanos
    assert struct.unpack_from("<Q", raw, 20)[0] == receipt.sequence_id == 1
    assert raw[28:] == hmac.new(KEY, signed_message(receipt, "axis_3", 0.5, -1.25), hashlib.sha256).digest()


def test_verify_with_the_right_key_only(receipt):
    assert receipt.verify(KEY) is True
    assert receipt.verify(key=KEY) is True
    assert [receipt.verify(KEY) for _ in range(3)] == [True] * 3  # verifying never makes it stale
    assert receipt.verify(bytes(32)) is False
    assert receipt.verify(KEY[:31]) is False
    assert receipt.verify(KEY + b"\x00") is False
    assert receipt.verify(b"") is False

    class KeyBytes(bytes):
        pass

    assert receipt.verify(KeyBytes(KEY)) is True


def test_verify_refuses_non_bytes(receipt):
    assert (
        raises_text(TypeError, receipt.verify, bytearray(KEY))
        == "argument 'key': 'bytearray' object cannot be converted to 'PyBytes'"
    )
    assert raises_text(TypeError, receipt.verify, "k" * 32).startswith("argument 'key': 'str' object")
    assert raises_text(TypeError, receipt.verify, memoryview(KEY)).startswith("argument 'key': ")
    assert raises_text(TypeError, receipt.verify) == "KelReceipt.verify() missing 1 required positional argument: 'key'"
    assert raises_text(TypeError, receipt.verify, KEY, KEY) == "KelReceipt.verify() takes 1 positional arguments but 2 were given"


def test_no_constructor_and_read_only(receipt):
    assert raises_text(TypeError, KelReceipt) == "No constructor defined for KelReceipt"
    with pytest.raises(TypeError):
        KelReceipt.__new__(KelReceipt)
    for name in ("is_authorized", "sequence_id", "timestamp_nanos", "receipt_hash"):
        with pytest.raises(AttributeError):
            setattr(receipt, name, 5)
    with pytest.raises(AttributeError):
        receipt.extra = 1  # no instance dictionary
    assert receipt.sequence_id == 1


def test_class_shape():
    assert KelReceipt.__doc__ == "Replay-resistant authorization receipt returned by `KelBoundary`."
    assert KelReceipt.__text_signature__ is None
    assert KelReceipt.__module__ == "builtins"
    assert KelReceipt.__bases__ == (object,)
    assert KelReceipt.verify.__doc__ == "Re-verify this receipt against a 32-byte boundary key."
    assert KelReceipt.verify.__text_signature__ == "($self, key)"
    assert KelReceipt.sequence_id.__doc__ == ""
    with pytest.raises(TypeError):
        KelReceipt.sequence_id.__get__(3)


def test_receipts_verify_across_threads_and_do_not_leak(receipt, assert_no_leak):
    def calls():
        receipt.verify(KEY)
        receipt.verify(b"short")
        receipt.receipt_hash, receipt.sequence_id, receipt.timestamp_nanos, receipt.is_authorized
        try:
            receipt.verify(bytearray(32))
        except TypeError:
            pass

    assert_no_leak(calls)
