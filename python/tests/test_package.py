import pathlib
import re

import pytest

import _kelvara
import kelvara

SOURCE_ROOT = pathlib.Path(__file__).resolve().parents[2]
NEW_NAMES = ["Envelope4", "Envelope4Result", "Envelope", "EnvelopeResult", "CommandSigner", "CommandGate", "Command"]


def test_package_exports_the_module_and_the_new_classes():
    assert kelvara.__all__[: len(_kelvara.__all__)] == _kelvara.__all__
    assert sorted(kelvara.__all__) == sorted(set(_kelvara.__all__) | set(NEW_NAMES))
    for name in kelvara.__all__:
        assert getattr(kelvara, name) is getattr(_kelvara, name)
    # The new classes are registered after the module's listed names.
    names = [name for name in vars(_kelvara) if not name.startswith("_")]
    assert names.index("Envelope4") > names.index("Governor")


def test_version_comes_from_the_one_version_line():
    cmake = (SOURCE_ROOT / "CMakeLists.txt").read_text()
    assert kelvara.__version__ == re.search(r"project\(kelvara VERSION ([0-9.]+)", cmake).group(1)


def test_typing_files_sit_where_type_checkers_look():
    package = pathlib.Path(kelvara.__file__).parent
    assert (package / "py.typed").is_file() and (package / "__init__.pyi").is_file()
    # The extension module is not a package: its types ship as the stub-only
    # package _kelvara-stubs beside the package.
    assert (package.parent / "_kelvara-stubs" / "__init__.pyi").is_file()


def test_new_types_are_immutable_and_final():
    for name in NEW_NAMES:
        cls = getattr(kelvara, name)
        assert (cls.__module__, cls.__qualname__) == ("builtins", name)
        with pytest.raises(TypeError):
            cls.extra = 1
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
