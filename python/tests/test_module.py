import importlib
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import _kelvara


def test_version_and_all_in_registration_order():
    assert _kelvara.__version__ == "0.2.0"
    assert _kelvara.__all__ == ["__version__", "KelBoundary", "KelReceipt", "KelViolation", "MonotonicCounter", "Governor", "KelGate", "Envelope4", "Envelope4Result", "Envelope", "EnvelopeResult", "CommandSigner", "CommandGate", "Command"]
    assert _kelvara.__doc__ == "Python module registration."


def test_reimport_after_removal_yields_the_same_module():
    first = sys.modules.pop("_kelvara")
    try:
        again = importlib.import_module("_kelvara")
        assert again is first
        assert again.KelViolation is first.KelViolation
    finally:
        sys.modules["_kelvara"] = first


def test_second_interpreter_is_refused():
    script = textwrap.dedent(
        """
        import _kelvara
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        # A legacy (shared-GIL) interpreter, so that the host does not refuse the
        # single-phase module before its own initialisation runs.
        try:
            interp = interpreters.create(isolated=False)   # 3.12
        except TypeError:
            interp = interpreters.create("legacy")         # 3.13
        code = "import _kelvara"
        try:
            failure = interpreters.run_string(interp, code)
        except Exception as exc:   # 3.12 raises RunFailedError
            failure = exc
        print(repr(failure))
        print(getattr(failure, "type", None), getattr(failure, "msg", None))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert "ImportError" in out.stdout
    assert "does not support sub-interpreters" in out.stdout


def test_only_the_intended_symbols_are_exported():
    nm = shutil.which("nm")
    assert nm, "binutils' nm is needed to read the dynamic symbol table"
    out = subprocess.run(
        [nm, "-D", "--defined-only", _kelvara.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert exported == {"PyInit__kelvara", "kelvara_solve_active_set", "kelvara_solve_multivar_4d"}


def test_every_class_reports_builtins_as_its_module():
    for name in _kelvara.__all__[1:]:
        cls = getattr(_kelvara, name)
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name


def test_classes_cannot_be_patched():
    # Patching a class would change every instance, receipts already handed out
    # included: KelReceipt.verify = lambda *a: True would make every receipt check pass.
    for name in _kelvara.__all__[1:]:
        cls = getattr(_kelvara, name)
        for attribute in ("verify", "__str__", "extra"):
            with pytest.raises(TypeError, match="immutable type"):
                setattr(cls, attribute, lambda *args: True)
        with pytest.raises(TypeError):
            del cls.__doc__
    receipt = _kelvara.KelBoundary().authorize_action(0, 0.0, 0.0)
    assert receipt.verify(bytes(32)) and not receipt.verify(bytes(range(32)))

    class Sub(_kelvara.KelViolation):  # still subclassable, and the subclass is the caller's own
        pass

    Sub.extra = 1
    assert Sub(1, "a", "b").extra == 1
